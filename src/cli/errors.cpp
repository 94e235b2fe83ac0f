#include "src/cli/errors.hpp"

#include <fmt/format.h>

#include "platform/last_resort_exit.hpp"
#include "src/cli/format.hpp"

namespace bramvelt::cli {

std::string escape_message(std::string_view message) {
    return escape_for_display(message);
}

bool print_cli_error(platform::Writer& err, std::string_view message) {
    std::string line = "bramvelt: ";
    line += escape_message(message);
    line += '\n';
    const bool written = err.write(line);
    return err.flush() && written;
}

void append_json_string(std::string& out, std::string_view text) {
    out += '"';
    for (const char ch : text) {
        switch (ch) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (static_cast<unsigned char>(ch) < 0x20) {
                    out += fmt::format("\\u{:04x}", static_cast<unsigned>(ch));
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
}

bool print_json_string(platform::Writer& out, std::string_view text) {
    std::string json;
    append_json_string(json, text);
    return out.write(json);
}

bool write_json_error(platform::Writer& out, std::string_view code, std::string_view message) {
    std::string doc = "{\"schemaVersion\":1,\"error\":{\"code\":";
    append_json_string(doc, code);
    doc += ",\"message\":";
    append_json_string(doc, message);
    doc += "}}\n";
    const bool written = out.write(doc);
    return out.flush() && written;
}

void report_failure_after_output(platform::Writer& out, platform::Writer& err, bool json,
                                 std::string_view code, std::string_view message) noexcept {
    try {
        if (json && out.discard_if_unsent() && write_json_error(out, code, message)) return;
        (void)out.flush();
        if (print_cli_error(err, message)) return;
    } catch (...) {  // NOLINT(bugprone-empty-catch): told below, without memory
    }
    platform::write_error_line("bramvelt: ", message);
}

}  // namespace bramvelt::cli
