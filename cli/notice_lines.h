// The stream of lumo-flash's notices (standard error): whole lines, each written to standard
// error, or, while the live view of several units is on the terminal, handed to it to print
// above its lines, so that no line from anywhere in the program lands in the middle of the view.
#pragma once

#include <functional>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>
#include <utility>

namespace lumo::cli {

class NoticeLines : public std::streambuf {
  public:
    explicit NoticeLines(std::ostream& target) : target_(target) {}
    ~NoticeLines() override { Emit(); }

    // Where the lines go from now on; an empty function: back to the target stream.
    void RouteTo(std::function<void(std::string_view)> route) { route_ = std::move(route); }

  protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        if (c == '\n') {
            Emit();
        } else {
            line_ += traits_type::to_char_type(c);
        }
        return c;
    }
    int sync() override {
        target_.flush();
        return 0;
    }

  private:
    void Emit() {
        if (line_.empty()) return;
        if (route_) {
            route_(line_);
        } else {
            target_ << line_ << '\n' << std::flush;
        }
        line_.clear();
    }

    std::ostream& target_;
    std::function<void(std::string_view)> route_;
    std::string line_;
};

}  // namespace lumo::cli
