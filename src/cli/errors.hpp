#pragma once
// How the command line reports failures: an escaped "bramvelt: ..." line on standard
// error, or one JSON error document on standard output when the user asked for JSON.

#include <string>
#include <string_view>

#include "platform/writer.hpp"

namespace bramvelt::cli {

// Control characters as \t, \n, \r or \u{hex}; the same rule as escape_for_display.
std::string escape_message(std::string_view message);

// Writes "bramvelt: {escaped message}\n"; returns false when the write failed.
bool print_cli_error(platform::Writer& err, std::string_view message);

// Writes {"schemaVersion":1,"error":{"code":...,"message":...}} and a newline.
bool write_json_error(platform::Writer& out, std::string_view code, std::string_view message);

// A failure that came once a report may have begun (memory ran out): with `json`, the
// error document in the report's place when none of the report has gone out yet; else
// the error line, after the output cut short is flushed. Never throws: where even that
// cannot be had, the line is written without memory, or nothing is.
void report_failure_after_output(platform::Writer& out, platform::Writer& err, bool json,
                                 std::string_view code, std::string_view message) noexcept;

// Writes one JSON string: \" \\ \t \n \r, other characters below U+0020 as \u00XX,
// everything else (DEL and non-ASCII included) unchanged.
bool print_json_string(platform::Writer& out, std::string_view text);

// The same JSON string, appended to a text.
void append_json_string(std::string& out, std::string_view text);

}  // namespace bramvelt::cli
