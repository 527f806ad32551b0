#include "fs/tree.hpp"

namespace lumvex {

namespace {

IoResult<void> render_into(const FileSystem& fs, const std::string& path, const std::string& indent,
                           std::string& out) {
  const IoResult<InodeId> id = fs.get_inode_by_path_raw(path);
  if (!id) return fail(id.error());
  const IoResult<Listing> listing = fs.ls_raw(*id);
  if (!listing) return fail(listing.error());
  const std::string deeper = indent + "  ";
  for (const std::string& name : listing->second) {
    out += indent;
    out += name;
    out += "/\n";
    const IoResult<void> below = render_into(fs, path + "/" + name, deeper, out);
    if (!below) return below;
  }
  for (const std::string& name : listing->first) {
    out += indent;
    out += name;
    out += '\n';
  }
  return {};
}

}  // namespace

IoResult<std::string> render_tree(const FileSystem& fs, std::string_view path,
                                  std::string_view indent) {
  std::string out;
  const IoResult<void> rendered = render_into(fs, std::string(path), std::string(indent), out);
  if (!rendered) return fail(rendered.error());
  return out;
}

}  // namespace lumvex
