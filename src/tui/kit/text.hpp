#pragma once
// Styled text: a Span is one run of text in one style, a Line a row of spans, a Text a
// list of lines. Each level's style lies under the one below it (text < line < span).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "src/tui/kit/buffer.hpp"

namespace bramvelt::tui::kit {

enum class Alignment { Left, Center, Right };

struct Span {
    std::string content;
    Style style;

    Span() = default;
    Span(std::string text) : content(std::move(text)) {}  // NOLINT: implicit on purpose
    Span(const char* text) : content(text) {}             // NOLINT
    Span(std::string text, Style s) : content(std::move(text)), style(s) {}
    std::size_t width() const;
};

struct Line {
    std::vector<Span> spans;
    Style style;
    std::optional<Alignment> alignment;

    Line() = default;
    Line(std::string text) { spans.emplace_back(std::move(text)); }  // NOLINT
    Line(const char* text) { spans.emplace_back(text); }             // NOLINT
    Line(Span span) { spans.push_back(std::move(span)); }            // NOLINT
    Line(std::vector<Span> s) : spans(std::move(s)) {}               // NOLINT
    Line(std::vector<Span> s, Style st) : spans(std::move(s)), style(st) {}

    Line& aligned(Alignment a) {
        alignment = a;
        return *this;
    }
    std::size_t width() const;
    // One row at the area's top: the line's style on the whole row, then the spans;
    // a line wider than the area keeps its start (left), its end (right) or its middle.
    void render(Rect area, Buffer& buf, std::optional<Alignment> parent = std::nullopt) const;
};

struct Text {
    std::vector<Line> lines;
    Style style;
    std::optional<Alignment> alignment;

    Text() = default;
    Text(std::vector<Line> l) : lines(std::move(l)) {}     // NOLINT
    Text(Line line) { lines.push_back(std::move(line)); }  // NOLINT
    // Splits at line feeds ("\r\n" counts as one), as typed text is shown; a final line
    // feed adds no empty line.
    static Text raw(std::string_view text, Style style = {});
    std::size_t height() const { return lines.size(); }
    std::size_t width() const;
    // The text's style on the whole area, then one line per row.
    void render(Rect area, Buffer& buf) const;
};

}  // namespace bramvelt::tui::kit
