#pragma once

// Names and reasons as the programs show them on standard error:
// printable bytes as they are, control bytes as \n, \t, \r or \xNN, so
// that a message stays one line.

#include <cstdio>
#include <string>
#include <string_view>

inline std::string escaped(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7f) {
      out += char(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}
