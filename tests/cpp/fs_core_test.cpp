#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "error/internal_error.hpp"
#include "error/io_error.hpp"
#include "fs/file_handle.hpp"
#include "fs/filesystem.hpp"

namespace lumvex {
namespace {

using K = IoErrorKind;

template <typename T>
IoErrorKind error_of(const IoResult<T>& result) {
  EXPECT_FALSE(result.has_value());
  return result ? K::NotASymlink : result.error().kind();
}

FileHandleType mode(const char* text) {
  return *FileHandleType::from_str(text);
}

std::vector<std::uint8_t> bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

std::string read_all(FileHandle& handle) {
  std::string out(1024, '\0');
  auto n = handle.read({reinterpret_cast<std::uint8_t*>(out.data()), out.size()});
  EXPECT_TRUE(n.has_value());
  out.resize(n.value_or(0));
  return out;
}

TEST(IoErrorTest, DisplayAndDebugTexts) {
  const std::vector<std::pair<IoError, std::string>> display = {
      {IoError(K::InodeNotFound), "Inode not found"},
      {IoError(K::NotADirectory), "The specified INode is not a directory"},
      {IoError(K::NotAFile), "The specified INode is not a file"},
      {IoError(K::NotASymlink), "The specified INode is not a symlink"},
      {IoError(K::MaxRecursionDepthExceeded), "Maximum filesystem depth exceeded"},
      {IoError(K::ResourceAlreadyExists), "Resource already exists"},
      {IoError(K::DirectoryIsNotEmpty), "Directory is not empty"},
      {IoError(K::ResourceCurrentInUse), "Resource is currently in use"},
      {IoError(K::UnrecognizedFileMode), "Unrecognized file mode"},
      {IoError::operation_not_supported("write"),
       "File does not support the specified operation: write"},
      {IoError(K::InvalidFileDescriptor), "Invalid file descriptor"},
  };
  for (std::size_t tag = 0; tag < display.size(); ++tag) {
    EXPECT_EQ(static_cast<std::size_t>(display[tag].first.kind()), tag);
    EXPECT_EQ(display[tag].first.to_string(), display[tag].second);
  }
  EXPECT_EQ(IoError(K::ResourceCurrentInUse).debug_string(), "ResourceCurrentInUse");
  EXPECT_EQ(IoError::operation_not_supported("read").debug_string(),
            "OperationNotSupported(\"read\")");
}

TEST(InodeStoreTest, NewFilesystemHoldsOnlyTheRoot) {
  auto fs = FileSystem::make();
  EXPECT_EQ(fs->inode_count(), 1u);
  EXPECT_EQ(fs->next_inode_id(), 1u);
  EXPECT_EQ(fs->get_inode_raw(0).value(), 0u);
  EXPECT_EQ(error_of(fs->get_inode_raw(7)), K::InodeNotFound);
  EXPECT_TRUE(fs->is_directory_raw(0).value());
  EXPECT_FALSE(fs->is_file_raw(0).value());
  EXPECT_EQ(error_of(fs->is_file_raw(9)), K::InodeNotFound);
  EXPECT_EQ(error_of(fs->is_directory_raw(9)), K::InodeNotFound);
  EXPECT_EQ(fs->debug_string(),
            "FileSystem { inodes: {0: INode { id: 0, parent: 0, depth: 0, name: \"\", data: "
            "RwLock { data: Directory { children: [] }, poisoned: false, .. } }}, "
            "next_inode_id: 1 }");
}

TEST(InodeStoreTest, DebugTextOfFilesAndEscapedNames) {
  auto fs = FileSystem::make();
  ASSERT_TRUE(fs->touch("/hi"));
  auto h = FileSystem::open(fs, "/hi", mode("w"), true).value();
  ASSERT_TRUE(h.write(bytes("hi")));
  std::string text = fs->debug_string();
  EXPECT_NE(text.find("1: INode { id: 1, parent: 0, depth: 1, name: \"hi\", data: RwLock { data: "
                      "File { data: FileData { data: [104, 105] }, lock: FileLock { flag: -1 } }, "
                      "poisoned: false, .. } }"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Directory { children: [1] }"), std::string::npos);
  ASSERT_TRUE(fs->mkdir("a\"b\nc"));
  EXPECT_NE(fs->debug_string().find("name: \"a\\\"b\\nc\""), std::string::npos);
}

TEST(InodeStoreTest, IdsAreNeverReused) {
  auto fs = FileSystem::make();
  ASSERT_TRUE(fs->mkdir("/a"));
  EXPECT_EQ(error_of(fs->mkdir("/a")), K::ResourceAlreadyExists);  // draws id 2
  ASSERT_TRUE(fs->rm("/a", false));
  fs->release_inode_id(1);  // absent: ignored
  fs->release_inode_id(12345);
  fs->release_inode_id(0);  // the root stays
  EXPECT_TRUE(fs->is_directory_raw(0).value());
  ASSERT_TRUE(fs->mkdir("/b"));
  EXPECT_EQ(fs->get_inode_by_path_raw("/b").value(), 3u);
}

TEST(PathTest, ResolvesComponentsFromTheRoot) {
  auto fs = FileSystem::make();
  ASSERT_TRUE(fs->mkdir("/a"));
  ASSERT_TRUE(fs->mkdir("/a/b"));
  ASSERT_TRUE(fs->touch("/a/f"));
  const InodeId a = 1, b = 2, f = 3;
  const std::vector<std::pair<std::string, InodeId>> ok = {
      {"", 0},      {"/", 0},       {"//", 0},       {".", 0},      {"/..", 0},
      {"/a/b", b},  {"a/b", b},     {"/a//b/", b},   {"/a/./b", b}, {"a\\b", b},
      {"/a/f/", f}, {"/a/f/..", a}, {"/a/b/../f", f}};
  for (const auto& [path, id] : ok) EXPECT_EQ(fs->get_inode_by_path_raw(path).value(), id) << path;
  EXPECT_EQ(error_of(fs->get_inode_by_path_raw("/a/f/x")), K::NotADirectory);
  EXPECT_EQ(error_of(fs->get_inode_by_path_raw("/a/g")), K::InodeNotFound);
  EXPECT_EQ(error_of(fs->get_inode_by_path_raw("/A")), K::InodeNotFound);
}

TEST(PathTest, NameLookupAndPathsOfInodes) {
  auto fs = FileSystem::make();
  ASSERT_TRUE(fs->mkdir("/a"));
  ASSERT_TRUE(fs->mkdir("/a/b"));
  ASSERT_TRUE(fs->touch("/a/f"));
  EXPECT_EQ(fs->find_inode_by_name(1, "").value(), 1u);
  EXPECT_EQ(fs->find_inode_by_name(1, ".").value(), 1u);
  EXPECT_EQ(fs->find_inode_by_name(1, "..").value(), 0u);
  EXPECT_EQ(fs->find_inode_by_name(3, "..").value(), 1u);  // a file answers ".." too
  EXPECT_EQ(error_of(fs->find_inode_by_name(3, "x")), K::NotADirectory);
  EXPECT_EQ(error_of(fs->find_inode_by_name(0, "a/b")), K::InodeNotFound);
  EXPECT_EQ(fs->get_path_by_inode(0).value(), "/");
  EXPECT_EQ(fs->get_path_by_inode(2).value(), "/a/b");
  EXPECT_EQ(error_of(fs->get_path_by_inode(99)), K::InodeNotFound);
}

TEST(CreateTest, FailuresAndTheIdCounter) {
  auto fs = FileSystem::make();
  ASSERT_TRUE(fs->touch("/f"));
  // Invalid names are refused before an id is drawn.
  for (const char* path : {"/", "/a/", "/.", "/.."})
    EXPECT_EQ(error_of(fs->mkdir(path)),
              path == std::string("/a/") ? K::InodeNotFound : K::ResourceAlreadyExists)
        << path;
  EXPECT_EQ(fs->next_inode_id(), 2u);
  EXPECT_EQ(error_of(fs->touch("/f")), K::ResourceAlreadyExists);
  EXPECT_EQ(error_of(fs->mkdir("/f/x")), K::NotADirectory);    // parent is a file: draws one
  EXPECT_EQ(error_of(fs->mkdir("/f/x/y")), K::NotADirectory);  // path below a file: does not
  EXPECT_EQ(error_of(fs->mkdir("/missing/x")), K::InodeNotFound);
  EXPECT_EQ(fs->next_inode_id(), 4u);
  EXPECT_EQ(error_of(fs->create_inode(1, "x", Directory{})), K::NotADirectory);
  EXPECT_EQ(error_of(fs->create_inode(77, "x", Directory{})), K::InodeNotFound);
  EXPECT_EQ(fs->next_inode_id(), 6u);
  ASSERT_TRUE(fs->mkdir("plain"));  // no separator: under the root
  EXPECT_EQ(fs->ls_raw(0).value().second, std::vector<std::string>{"plain"});
}

TEST(CreateTest, DepthLimitIsSixtyFourLevels) {
  auto fs = FileSystem::make();
  std::string path;
  for (int level = 1; level <= 64; ++level) {
    path += "/d";
    ASSERT_TRUE(fs->mkdir(path)) << level;
  }
  EXPECT_EQ(error_of(fs->mkdir(path + "/d")), K::MaxRecursionDepthExceeded);
  EXPECT_EQ(error_of(fs->touch(path + "/f")), K::MaxRecursionDepthExceeded);
  EXPECT_EQ(error_of(FileSystem::open(fs, path + "/f", mode("w"), true)),
            K::MaxRecursionDepthExceeded);
}

TEST(RemoveTest, OrderAndNonRecursiveRules) {
  auto fs = FileSystem::make();
  for (const char* name : {"/b", "/c", "/d"}) ASSERT_TRUE(fs->touch(name));
  ASSERT_TRUE(fs->mkdir("/a"));
  ASSERT_TRUE(fs->touch("/a/x"));
  ASSERT_TRUE(fs->rm("/c", false));
  auto listing = fs->ls_raw(0).value();
  EXPECT_EQ(listing.first, (std::vector<std::string>{"b", "d"}));
  EXPECT_EQ(listing.second, std::vector<std::string>{"a"});
  EXPECT_EQ(error_of(fs->rm("/a", false)), K::DirectoryIsNotEmpty);
  EXPECT_TRUE(fs->get_inode_by_path_raw("/a/x"));
  EXPECT_EQ(error_of(fs->rm("/nope", false)), K::InodeNotFound);
  ASSERT_TRUE(fs->rm("/a", true));
  EXPECT_EQ(fs->inode_count(), 3u);
  ASSERT_TRUE(fs->mkdir("/e"));
  ASSERT_TRUE(fs->rm("/e", false));
}

TEST(RemoveTest, RecursiveRemovalStopsAtAnOpenFile) {
  auto fs = FileSystem::make();
  ASSERT_TRUE(fs->mkdir("/d"));
  ASSERT_TRUE(fs->mkdir("/d/one"));
  ASSERT_TRUE(fs->touch("/d/one/deep"));
  ASSERT_TRUE(fs->touch("/d/two"));
  ASSERT_TRUE(fs->touch("/d/three"));
  auto open = FileSystem::open(fs, "/d/two", mode("r"), false).value();
  EXPECT_EQ(error_of(fs->rm("/d", true)), K::ResourceCurrentInUse);
  auto listing = fs->ls_raw(fs->get_inode_by_path_raw("/d").value()).value();
  EXPECT_EQ(listing.first, (std::vector<std::string>{"two", "three"}));
  EXPECT_TRUE(listing.second.empty());
  ASSERT_TRUE(open.close());
  ASSERT_TRUE(fs->rm("/d", true));
  EXPECT_EQ(fs->inode_count(), 1u);
}

TEST(RemoveTest, RemovingTheRootEmptiesItAndKeepsIt) {
  auto fs = FileSystem::make();
  ASSERT_TRUE(fs->mkdir("/a"));
  ASSERT_TRUE(fs->touch("/a/f"));
  EXPECT_EQ(error_of(fs->rm("/", false)), K::DirectoryIsNotEmpty);
  ASSERT_TRUE(fs->rm("/", true));
  EXPECT_EQ(fs->inode_count(), 1u);
  EXPECT_TRUE(fs->is_directory_raw(0).value());
  ASSERT_TRUE(fs->rm("/", false));
  ASSERT_TRUE(fs->mkdir("/again"));
  EXPECT_EQ(fs->get_path_by_inode(fs->get_inode_by_path_raw("/again").value()).value(), "/again");
}

TEST(ListingTest, FilesFirstInCreationOrder) {
  auto fs = FileSystem::make();
  EXPECT_EQ(fs->ls_raw(0).value(), Listing{});
  ASSERT_TRUE(fs->touch("/b"));
  ASSERT_TRUE(fs->mkdir("/a"));
  ASSERT_TRUE(fs->touch("/c"));
  ASSERT_TRUE(fs->touch("/with blank. dot"));
  auto listing = fs->ls_raw(0).value();
  EXPECT_EQ(listing.first, (std::vector<std::string>{"b", "c", "with blank. dot"}));
  EXPECT_EQ(listing.second, std::vector<std::string>{"a"});
  EXPECT_EQ(error_of(fs->ls_raw(1)), K::NotADirectory);
  EXPECT_EQ(error_of(fs->ls_raw(42)), K::InodeNotFound);
}

TEST(ListingTest, LargeDirectoriesKeepOrderThroughRemovals) {
  auto fs = FileSystem::make();
  std::vector<std::string> expected;
  for (int i = 0; i < 300; ++i) {
    std::string name = "entry-with-a-long-name-" + std::to_string(i);
    ASSERT_TRUE(fs->touch("/" + name));
    if (i % 3 != 0) expected.push_back(name);
  }
  for (int i = 0; i < 300; i += 3)
    ASSERT_TRUE(fs->rm("/entry-with-a-long-name-" + std::to_string(i), false));
  EXPECT_EQ(fs->ls_raw(0).value().first, expected);
  for (const auto& name : expected) ASSERT_TRUE(fs->get_inode_by_path_raw("/" + name)) << name;
  EXPECT_EQ(error_of(fs->touch("/" + expected[17])), K::ResourceAlreadyExists);
}

TEST(SymlinkTest, LookupsFollowLinksAndCyclesEnd) {
  auto fs = FileSystem::make();
  ASSERT_TRUE(fs->mkdir("/dir"));
  ASSERT_TRUE(fs->touch("/dir/file"));
  const InodeId dir = 1, file = 2;
  InodeId link = fs->create_inode(0, "link", Symlink{dir}).value();
  EXPECT_EQ(fs->get_inode_raw(link).value(), dir);
  EXPECT_EQ(fs->find_inode_by_name(0, "dir").value(), dir);
  EXPECT_EQ(fs->get_inode_by_path_raw("/dir/file").value(), file);
  EXPECT_EQ(fs->ls_raw(0).value().second, (std::vector<std::string>{"dir", "dir"}));
  // A cycle of links ends after a bounded number of hops.
  InodeId first = fs->next_inode_id();
  ASSERT_TRUE(fs->create_inode(0, "x", Symlink{first + 1}));
  ASSERT_TRUE(fs->create_inode(0, "y", Symlink{first}));
  EXPECT_EQ(error_of(fs->get_inode_raw(first)), K::MaxRecursionDepthExceeded);
  // Removing a link removes the link, not its target.
  ASSERT_TRUE(fs->rm_raw(link, true));
  EXPECT_TRUE(fs->get_inode_by_path_raw("/dir/file"));
  // A link from a directory back to itself cannot make removal recurse forever.
  ASSERT_TRUE(fs->create_inode(dir, "loop", Symlink{dir}));
  EXPECT_TRUE(fs->rm("/dir", true));
}

TEST(FileHandleTest, ModeTexts) {
  for (const char* text : {"", "r", "w", "rw", "wr"}) EXPECT_TRUE(FileHandleType::from_str(text));
  for (const char* text : {"R", "rr", "ww", "rwr", "a", "r+", "rb", " "})
    EXPECT_EQ(error_of(FileHandleType::from_str(text)), K::UnrecognizedFileMode) << text;
  EXPECT_EQ(mode("rw").debug_string(), "FileHandleType(READ | WRITE)");
  EXPECT_EQ(mode("w").debug_string(), "FileHandleType(WRITE)");
  EXPECT_EQ(mode("").debug_string(), "FileHandleType(0x0)");
}

TEST(FileHandleTest, SharedAndExclusiveOpens) {
  auto fs = FileSystem::make();
  ASSERT_TRUE(fs->touch("/f"));
  auto r1 = FileSystem::open(fs, "/f", mode("r"), true).value();
  auto r2 = FileSystem::open(fs, "/f", mode("r"), true).value();
  EXPECT_NE(fs->debug_string().find("flag: 2"), std::string::npos);
  for (const char* m : {"w", "rw"})
    EXPECT_EQ(error_of(FileSystem::open(fs, "/f", mode(m), true)), K::ResourceCurrentInUse);
  EXPECT_EQ(error_of(fs->rm("/f", false)), K::ResourceCurrentInUse);
  ASSERT_TRUE(r1.close());
  ASSERT_TRUE(r2.close());
  auto w = FileSystem::open(fs, "/f", mode("w"), true).value();
  for (const char* m : {"", "r", "w", "rw"})
    EXPECT_EQ(error_of(FileSystem::open(fs, "/f", mode(m), true)), K::ResourceCurrentInUse);
  {
    FileHandle dropped = std::move(w);  // closes when it goes out of scope
  }
  {
    auto empty = FileSystem::open(fs, "/f", mode(""), true).value();
    EXPECT_EQ(error_of(FileSystem::open(fs, "/f", mode("w"), true)), K::ResourceCurrentInUse);
    EXPECT_TRUE(empty.seek(SeekFrom::Start(0)));
    EXPECT_EQ(error_of(empty.read({})), K::OperationNotSupported);
  }
  EXPECT_TRUE(fs->rm("/f", false));
}

TEST(FileHandleTest, OpenCreatesMissingFilesAndRefusesDirectories) {
  auto fs = FileSystem::make();
  ASSERT_TRUE(fs->mkdir("/dir"));
  auto h = FileSystem::open(fs, "/dir/new", mode("r"), true).value();
  EXPECT_EQ(h.id(), std::optional<InodeId>(2));
  EXPECT_EQ(read_all(h), "");
  EXPECT_EQ(error_of(FileSystem::open(fs, "/dir/other", mode("r"), false)), K::InodeNotFound);
  for (const char* path : {"/dir", "/", "/dir/.", "/dir/.."})
    EXPECT_EQ(error_of(FileSystem::open(fs, path, mode("r"), true)), K::NotAFile) << path;
  EXPECT_EQ(error_of(FileSystem::open(fs, "/missing/x", mode("r"), true)), K::InodeNotFound);
  EXPECT_EQ(error_of(FileSystem::open_raw(fs, 1, mode("r"))), K::NotAFile);
}

TEST(FileHandleTest, ReadWriteSeekSemantics) {
  auto fs = FileSystem::make();
  auto h = FileSystem::open(fs, "/f", mode("rw"), true).value();
  ASSERT_EQ(h.write(bytes("abc")).value(), 3u);
  ASSERT_EQ(h.write(bytes("de")).value(), 2u);
  EXPECT_EQ(h.tell().value(), 0u);  // writing does not move the offset
  EXPECT_EQ(read_all(h), "dec");
  EXPECT_EQ(read_all(h), "");  // at the end
  EXPECT_EQ(h.tell().value(), 3u);
  ASSERT_TRUE(h.seek(SeekFrom::Start(3)));
  ASSERT_TRUE(h.write(bytes("0123456")));
  const std::vector<std::pair<SeekFrom, std::size_t>> seeks = {
      {SeekFrom::End(3), 7},        {SeekFrom::End(20), 0},  {SeekFrom::Start(99), 10},
      {SeekFrom::Current(100), 10}, {SeekFrom::Start(2), 2}, {SeekFrom::Current(SIZE_MAX), 10}};
  for (const auto& [target, offset] : seeks) {
    ASSERT_TRUE(h.seek(target));
    EXPECT_EQ(h.tell().value(), offset);
  }
  std::uint8_t small[2] = {9, 9};
  ASSERT_TRUE(h.seek(SeekFrom::Start(1)));
  EXPECT_EQ(h.read({small, 0}).value(), 0u);
  EXPECT_EQ(h.read(small).value(), 2u);
  EXPECT_EQ(small[0], 'e');
  ASSERT_TRUE(h.close());
  EXPECT_EQ(error_of(h.close()), K::InvalidFileDescriptor);
  EXPECT_EQ(error_of(h.read(small)), K::InvalidFileDescriptor);
  EXPECT_EQ(error_of(h.write(bytes("x"))), K::InvalidFileDescriptor);
  EXPECT_EQ(error_of(h.seek(SeekFrom::Start(0))), K::InvalidFileDescriptor);
  EXPECT_EQ(error_of(h.tell()), K::InvalidFileDescriptor);
  EXPECT_NE(h.debug_string().find("FileHandle { id: None, type: FileHandleType(READ | WRITE), "
                                  "fs: FileSystem { inodes: {"),
            std::string::npos);
}

TEST(FileHandleTest, SeekOnShortFilesAndModeChecks) {
  auto fs = FileSystem::make();
  auto w = FileSystem::open(fs, "/f", mode("w"), true).value();
  ASSERT_TRUE(w.seek(SeekFrom::Start(5)));
  EXPECT_EQ(w.tell().value(), 0u);
  ASSERT_TRUE(w.write(bytes("a")));
  ASSERT_TRUE(w.seek(SeekFrom::Start(3)));
  EXPECT_EQ(w.tell().value(), 1u);
  ASSERT_TRUE(w.write(bytes("x")));
  std::uint8_t buf[4];
  auto refused = w.read(buf);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().to_string(), "File does not support the specified operation: read");
  ASSERT_TRUE(w.close());
  auto r = FileSystem::open(fs, "/f", mode("r"), true).value();
  EXPECT_EQ(read_all(r), "ax");
  EXPECT_EQ(r.write(bytes("z")).error().to_string(),
            "File does not support the specified operation: write");
  EXPECT_EQ(read_all(r), "");  // the handle stays usable
}

TEST(FileHandleTest, HandleKeepsTheFilesystemAlive) {
  std::optional<FileHandle> handle;
  {
    auto fs = FileSystem::make();
    handle.emplace(FileSystem::open(fs, "/f", mode("rw"), true).value());
  }
  ASSERT_TRUE(handle->write(bytes("still here")));
  EXPECT_EQ(read_all(*handle), "still here");
}

TEST(FileHandleTest, ReadIntoAsksForExactlyTheAvailableBytes) {
  auto fs = FileSystem::make();
  auto h = FileSystem::open(fs, "/f", mode("rw"), true).value();
  ASSERT_TRUE(h.write(bytes("hello")));
  std::string out;
  auto n = h.read_into(SIZE_MAX, [&](std::size_t count) {
    out.resize(count);
    return reinterpret_cast<std::uint8_t*>(out.data());
  });
  EXPECT_EQ(n.value(), 5u);
  EXPECT_EQ(out, "hello");
  ASSERT_TRUE(h.seek(SeekFrom::Start(1)));
  EXPECT_EQ(h.read_into(2, [](std::size_t) -> std::uint8_t* { return nullptr; }).value(), 0u);
  EXPECT_EQ(h.tell().value(), 1u);  // a refused sink reads nothing
}

// replace() swaps the whole content under the file's lock, with the byte
// limit checked against the difference; a refusal keeps the old content.
// read_file() never creates and refuses a file held for writing; open_new()
// refuses an existing name and holds a new file from the start.
TEST(FileHandleTest, ReplaceReadFileAndOpenNew) {
  for (const bool forked : {false, true}) {
    auto fs = FileSystem::make({.max_bytes = 8, .max_entries = {}});
    if (forked) fs = fs->fork();
    std::string seen;
    auto sink = [&](std::size_t n) {
      seen.assign(n, '\0');
      return reinterpret_cast<std::uint8_t*>(seen.data());
    };
    EXPECT_EQ(error_of(fs->read_file("/f", sink)), K::InodeNotFound);
    EXPECT_EQ(error_of(FileSystem::open(fs, "/f", mode("rw"), false)), K::InodeNotFound);
    auto h = FileSystem::open_new(fs, "/f", mode("rw")).value();
    EXPECT_EQ(error_of(FileSystem::open_new(fs, "/f", mode("r"))), K::ResourceAlreadyExists);
    EXPECT_EQ(error_of(fs->read_file("/f", sink)), K::ResourceCurrentInUse);
    ASSERT_TRUE(h.replace(bytes("12345678")));
    ASSERT_TRUE(h.seek(SeekFrom::End(0)));
    EXPECT_EQ(error_of(h.replace(bytes("123456789"))), K::LimitExceeded);
    ASSERT_TRUE(h.replace(bytes("abc")));
    EXPECT_EQ(h.tell().value(), 3u);
    ASSERT_TRUE(h.close());
    EXPECT_EQ(fs->read_file("/f", sink).value(), 3u);
    EXPECT_EQ(seen, "abc");
    // The bytes given back by the shorter content count again.
    auto g = FileSystem::open(fs, "/g", mode("w"), true).value();
    EXPECT_TRUE(g.replace(bytes("12345")));
    EXPECT_EQ(error_of(g.replace(bytes("123456"))), K::LimitExceeded);
  }
}

// An image whose next id lies beyond what its size allows is refused: the
// next creation would allocate the table's index up to it.
TEST(SnapshotTest, NextIdIsBoundedByTheImage) {
  const std::string image = FileSystem::make()->dump();
  for (const std::uint64_t next :
       {FileSystem::max_loaded_id(image.size() - 16) + 1,
        FileSystem::max_loaded_id(image.size() - 16) + 2, std::uint64_t{1} << 40}) {
    std::string hostile = image;
    for (int i = 0; i < 8; ++i) hostile[8 + i] = static_cast<char>(next >> (8 * i));
    auto loaded = FileSystem::load(hostile);
    EXPECT_EQ(loaded.has_value(), next <= FileSystem::max_loaded_id(image.size() - 16) + 1);
  }
}

}  // namespace
}  // namespace lumvex
