// A small terminal: applies the bytes kestar-host writes to a grid of the given
// width, as a terminal does, and says whether a line wrapped or a code it does not
// know arrived. Rows grow without scrolling, so the whole session stays readable.
#pragma once

#include <string>
#include <vector>

namespace kestar::testing {

class ScreenModel {
public:
    explicit ScreenModel(int width) : width_(width), rows_(1) {}

    void Apply(const std::string& bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const char c = bytes[i];
            if (c == '\r') {
                column_ = 0;
            } else if (c == '\n') {
                Down();
            } else if (c == '\x1b') {
                i = Escape(bytes, i);
            } else if (static_cast<unsigned char>(c) < 0x20) {
                unknown_ = true;
            } else {
                if (column_ >= width_) {  // the terminal wraps to the next line
                    wrapped_ = true;
                    column_ = 0;
                    Down();
                }
                std::string& line = rows_[row_];
                if (line.size() <= static_cast<std::size_t>(column_)) line.resize(column_ + 1, ' ');
                line[column_++] = c;
            }
        }
    }

    // The rows as shown, trailing blanks removed.
    std::vector<std::string> Rows() const {
        std::vector<std::string> rows = rows_;
        for (std::string& row : rows) row.erase(row.find_last_not_of(' ') + 1);
        return rows;
    }
    int cursorRow() const { return row_; }
    bool wrapped() const { return wrapped_; }
    bool unknownCode() const { return unknown_; }

private:
    void Down() {
        if (++row_ >= static_cast<int>(rows_.size())) rows_.emplace_back();
    }

    // ESC [ n A (up) and ESC [ K (clear to the line's end); anything else is unknown.
    std::size_t Escape(const std::string& bytes, std::size_t at) {
        if (at + 1 >= bytes.size() || bytes[at + 1] != '[') {
            unknown_ = true;
            return at;
        }
        std::size_t i = at + 2;
        int count = 0;
        bool digits = false;
        while (i < bytes.size() && bytes[i] >= '0' && bytes[i] <= '9') {
            count = count * 10 + (bytes[i++] - '0');
            digits = true;
        }
        if (i >= bytes.size()) {
            unknown_ = true;
            return i;
        }
        if (bytes[i] == 'A') {
            row_ -= digits ? count : 1;
            if (row_ < 0) row_ = 0;
        } else if (bytes[i] == 'K' && !digits) {
            std::string& line = rows_[row_];
            if (line.size() > static_cast<std::size_t>(column_)) line.resize(column_);
        } else {
            unknown_ = true;
        }
        return i;
    }

    int width_;
    int row_ = 0;
    int column_ = 0;
    bool wrapped_ = false;
    bool unknown_ = false;
    std::vector<std::string> rows_;
};

}  // namespace kestar::testing
