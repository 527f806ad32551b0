// The arguments of the terminal's `rm` command and their definition.
#pragma once

#include <array>
#include <string>

#include "terminal/arg_parser.hpp"
#include "version.hpp"

namespace lumvex {

struct RmArgs {
  // Remove a directory together with everything below it.
  bool recursive = false;
  // The path to remove.
  std::string target;

  static constexpr std::array<args::ArgDef, 2> kArgs{{
      {.id = "recursive",
       .kind = args::ArgKind::Flag,
       .short_name = 'r',
       .long_name = "recursive",
       .value_name = "RECURSIVE",
       .help = "Remove directories and their contents",
       .default_value = "false",
       .required = false},
      {.id = "target",
       .kind = args::ArgKind::Positional,
       .short_name = '\0',
       .long_name = "",
       .value_name = "TARGET",
       .help = "The file or directory to remove",
       .default_value = "",
       .required = true},
  }};

  // The definition rm's words are parsed against.
  static constexpr args::CommandDef command() {
    return {.name = "lumvex",
            .version = kVersion,
            .about = "Remove a file or a directory (potentially recursive)",
            .args = kArgs};
  }
};

}  // namespace lumvex
