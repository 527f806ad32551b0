// Helpers for splitting filesystem paths. Both "/" and "\" separate.
#pragma once

#include <string_view>
#include <utility>

namespace lumvex {

inline bool is_separator(char c) {
  return c == '/' || c == '\\';
}

// Iterates over the components of a path without copying: the text between
// separators, empty components included.
class PathComponents {
 public:
  explicit PathComponents(std::string_view path) : path_(path) {}

  class iterator {
   public:
    iterator(std::string_view path, std::size_t start) : path_(path), start_(start) { find_end(); }
    std::string_view operator*() const { return path_.substr(start_, end_ - start_); }
    iterator& operator++() {
      start_ = end_ + 1;
      find_end();
      return *this;
    }
    bool operator!=(const iterator& other) const { return start_ != other.start_; }

   private:
    void find_end() {
      if (start_ > path_.size()) return;
      end_ = start_;
      while (end_ < path_.size() && !is_separator(path_[end_])) ++end_;
    }
    std::string_view path_;
    std::size_t start_;
    std::size_t end_ = 0;
  };

  iterator begin() const { return iterator(path_, 0); }
  iterator end() const { return iterator(path_, path_.size() + 1); }

 private:
  std::string_view path_;
};

// Splits at the last separator: (text before it, text after it). Without a
// separator the parent text is empty and the name is the whole path.
inline std::pair<std::string_view, std::string_view> split_last(std::string_view path) {
  for (std::size_t i = path.size(); i-- > 0;)
    if (is_separator(path[i])) return {path.substr(0, i), path.substr(i + 1)};
  return {std::string_view(), path};
}

}  // namespace lumvex
