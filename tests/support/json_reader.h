// A strict JSON reader (RFC 8259), shared by the unit tests and the fuzz
// targets that check the program's JSON output.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Collects every decoded string, keys included, so that tests can look for
// exact texts.
class json_reader {
  public:
    explicit json_reader(std::string_view text) : text_(text) {}

    bool valid()
    {
        return value() && (skip_blanks(), at_ == text_.size());
    }

    std::vector<std::string> strings;

  private:
    std::string_view text_;
    std::size_t at_ = 0;

    bool more() const
    {
        return at_ < text_.size();
    }
    char peek() const
    {
        return more() ? text_[at_] : '\0';
    }
    void skip_blanks()
    {
        while (more() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
            at_++;
    }
    bool literal(std::string_view word)
    {
        if (text_.substr(at_, word.size()) != word)
            return false;
        at_ += word.size();
        return true;
    }

    bool value()
    {
        skip_blanks();
        switch (peek()) {
        case '{':
            return members('}', true);
        case '[':
            return members(']', false);
        case '"':
            return string();
        case 't':
            return literal("true");
        case 'f':
            return literal("false");
        case 'n':
            return literal("null");
        default:
            return number();
        }
    }

    bool members(char close, bool object)
    {
        at_++;
        skip_blanks();
        if (peek() == close) {
            at_++;
            return true;
        }
        for (;;) {
            skip_blanks();
            if (object && !(peek() == '"' && string() && (skip_blanks(), literal(":"))))
                return false;
            if (!value())
                return false;
            skip_blanks();
            if (literal(","))
                continue;
            return literal(std::string_view(&close, 1));
        }
    }

    bool digits()
    {
        std::size_t start = at_;
        while (peek() >= '0' && peek() <= '9')
            at_++;
        return at_ > start;
    }

    bool number()
    {
        literal("-");
        if (!literal("0") && !(peek() >= '1' && peek() <= '9' && digits()))
            return false;
        if (literal(".") && !digits())
            return false;
        if (peek() == 'e' || peek() == 'E') {
            at_++;
            if (!literal("+"))
                literal("-");
            return digits();
        }
        return true;
    }

    bool string()
    {
        at_++;
        std::string decoded;
        while (more()) {
            unsigned char c = static_cast<unsigned char>(text_[at_++]);
            if (c == '"') {
                strings.push_back(decoded);
                return true;
            }
            if (c < 0x20)
                return false;
            if (c != '\\') {
                decoded += static_cast<char>(c);
                continue;
            }
            if (!more())
                return false;
            char e = text_[at_++];
            const std::string_view simple = "\"\\/bfnrt";
            const std::string_view meaning = "\"\\/\b\f\n\r\t";
            if (std::size_t k = simple.find(e); k != std::string_view::npos) {
                decoded += meaning[k];
            } else if (e == 'u' && at_ + 4 <= text_.size()) {
                unsigned code = 0;
                for (int i = 0; i < 4; i++) {
                    char h = text_[at_++];
                    int v = h >= '0' && h <= '9'   ? h - '0'
                            : h >= 'a' && h <= 'f' ? h - 'a' + 10
                            : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                   : -1;
                    if (v < 0)
                        return false;
                    code = code * 16 + static_cast<unsigned>(v);
                }
                if (code >= 0x80)
                    return false; // the program only escapes control bytes
                decoded += static_cast<char>(code);
            } else {
                return false;
            }
        }
        return false;
    }
};
