// A screen that takes the bytes the live view writes, for reading back what a person would see.
// It knows printable text (one cell per UTF-8 code point), CR, LF, cursor up and down (CSI n A,
// CSI n B), erase to the end of the line (CSI K), erase below (CSI J) and colours (CSI ... m,
// counted, otherwise ignored); any other control byte or sequence is recorded in `unknown`.
// LF moves down only, without a carriage return, the stricter of the ways a line feed reaches
// a terminal, unless the model stands for a terminal behind a tty that turns LF into CR LF
// (`onlcr`), as plain lines reach it. Text at the last column waits there and wraps with the next
// character, and an erase in that state takes the last column too, as xterm does. Rows that scroll
// off the top go to the history.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace lumo::cli::testing {

class TerminalModel {
  public:
    TerminalModel(int rows, int cols, bool onlcr = false)
        : rows_(rows),
          cols_(cols),
          onlcr_(onlcr),
          cells_(static_cast<std::size_t>(rows), BlankRow()) {}

    void Feed(std::string_view bytes) {
        for (std::size_t i = 0; i < bytes.size();) i = Take(bytes, i);
    }

    // The row as text, trailing blanks dropped.
    std::string Row(int r) const {
        std::string s;
        for (const std::string& cell : cells_[static_cast<std::size_t>(r)]) s += cell;
        return s.erase(s.find_last_not_of(' ') + 1);
    }
    std::vector<std::string> Screen() const {
        std::vector<std::string> rows;
        for (int r = 0; r < rows_; ++r) rows.push_back(Row(r));
        return rows;
    }
    // The rows from the top down to the last one with text.
    std::vector<std::string> Text() const {
        std::vector<std::string> rows = Screen();
        while (!rows.empty() && rows.back().empty()) rows.pop_back();
        return rows;
    }

    int row() const { return row_; }
    int col() const { return col_; }

    std::vector<std::string> history;  // rows scrolled off the top, oldest first
    std::vector<std::string> unknown;  // sequences and control bytes it does not know
    int wraps = 0;                     // lines that went past the right edge
    int colour_sequences = 0;

  private:
    using Cells = std::vector<std::string>;
    Cells BlankRow() const { return Cells(static_cast<std::size_t>(cols_), " "); }
    int EraseCol() const { return std::min(col_, cols_ - 1); }

    std::size_t Take(std::string_view b, std::size_t i) {
        const char c = b[i];
        if (c == '\r') {
            col_ = 0;
        } else if (c == '\n') {
            LineFeed();
            col_ = onlcr_ ? 0 : EraseCol();
        } else if (c == '\x1b') {
            return Sequence(b, i);
        } else if (static_cast<unsigned char>(c) < 0x20 || c == '\x7f') {
            unknown.push_back(std::string(1, c));
        } else {
            std::size_t end = i + 1;
            while (end < b.size() && (static_cast<unsigned char>(b[end]) & 0xC0) == 0x80) ++end;
            Put(std::string(b.substr(i, end - i)));
            return end;
        }
        return i + 1;
    }

    std::size_t Sequence(std::string_view b, std::size_t i) {
        if (i + 1 >= b.size() || b[i + 1] != '[') {
            unknown.push_back(std::string(b.substr(i, 2)));
            return i + 2;
        }
        std::size_t end = i + 2;
        while (end < b.size() && ((b[end] >= '0' && b[end] <= '9') || b[end] == ';')) ++end;
        if (end >= b.size()) {
            unknown.push_back(std::string(b.substr(i)));
            return end;
        }
        const std::string params(b.substr(i + 2, end - i - 2));
        const int n = params.empty() ? 1 : std::max(1, std::atoi(params.c_str()));
        switch (b[end]) {
            case 'A':
                row_ = std::max(0, row_ - n), col_ = EraseCol();
                break;
            case 'B':
                row_ = std::min(rows_ - 1, row_ + n), col_ = EraseCol();
                break;
            case 'K':
                EraseLine(row_, EraseCol());
                break;
            case 'J':
                if (!params.empty() && params != "0") {  // only "below" is ever meant
                    unknown.push_back(std::string(b.substr(i, end - i + 1)));
                }
                EraseLine(row_, EraseCol());
                for (int r = row_ + 1; r < rows_; ++r) EraseLine(r, 0);
                break;
            case 'm':
                ++colour_sequences;
                break;
            default:
                unknown.push_back(std::string(b.substr(i, end - i + 1)));
        }
        return end + 1;
    }

    void Put(std::string cell) {
        if (col_ >= cols_) {
            ++wraps;
            col_ = 0;
            LineFeed();
        }
        cells_[static_cast<std::size_t>(row_)][static_cast<std::size_t>(col_)] = std::move(cell);
        ++col_;
    }

    void LineFeed() {
        if (row_ + 1 < rows_) {
            ++row_;
            return;
        }
        history.push_back(Row(0));
        cells_.erase(cells_.begin());
        cells_.push_back(BlankRow());
    }

    void EraseLine(int r, int from) {
        Cells& row = cells_[static_cast<std::size_t>(r)];
        std::fill(row.begin() + from, row.end(), std::string(" "));
    }

    int rows_, cols_;
    bool onlcr_;
    std::vector<Cells> cells_;
    int row_ = 0, col_ = 0;
};

}  // namespace lumo::cli::testing
