// An output stream that marks every line it passes on with the unit it is about, for runs that
// update several units at once: "[ID] " before a line of text, or "unit":"ID" as the first
// member of a JSON object. Each line goes out whole when its line break arrives, so lines about
// different units never mix.
#pragma once

#include <ostream>
#include <streambuf>
#include <string>

#include "cli/json_line.h"

namespace lumo::cli {

class TaggedLines : public std::streambuf {
  public:
    TaggedLines(std::ostream& target, const std::string& unit, bool json)
        : target_(target),
          prefix_(json ? "{\"unit\":" + JsonString(unit) + "," : "[" + unit + "] "),
          json_(json) {}
    ~TaggedLines() override { Emit(); }

  protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        line_ += traits_type::to_char_type(c);
        if (c == '\n') Emit();
        return c;
    }
    int sync() override {
        target_.flush();
        return 0;
    }

  private:
    void Emit() {
        if (line_.empty()) return;
        if (json_ && line_.starts_with('{')) {
            // An empty object needs no comma after the tag.
            target_ << (line_.starts_with("{}") ? prefix_.substr(0, prefix_.size() - 1)
                                                : prefix_)
                    << line_.substr(1);
        } else if (json_) {
            target_ << line_;
        } else {
            target_ << prefix_ << line_;
        }
        line_.clear();
    }

    std::ostream& target_;
    std::string prefix_;
    bool json_;
    std::string line_;
};

}  // namespace lumo::cli
