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

    char peek() const
    {
        return at_ < text_.size() ? text_[at_] : '\0';
    }
    void skip_blanks()
    {
        while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')
            at_++;
    }
    bool literal(std::string_view word)
    {
        if (text_.substr(at_, word.size()) != word)
            return false;
        at_ += word.size();
        return true;
    }
    bool digits()
    {
        std::size_t start = at_;
        while (peek() >= '0' && peek() <= '9')
            at_++;
        return at_ > start;
    }

    bool value()
    {
        skip_blanks();
        switch (peek()) {
        case '{':
        case '[': {
            const char close = peek() == '{' ? '}' : ']';
            at_++;
            skip_blanks();
            if (literal(std::string_view(&close, 1)))
                return true;
            do {
                skip_blanks();
                if (close == '}' && !(peek() == '"' && string() && (skip_blanks(), literal(":"))))
                    return false;
                if (!value())
                    return false;
                skip_blanks();
            } while (literal(","));
            return literal(std::string_view(&close, 1));
        }
        case '"':
            return string();
        default:
            if (literal("true") || literal("false") || literal("null"))
                return true;
            literal("-");
            if (!literal("0") && !(peek() >= '1' && peek() <= '9' && digits()))
                return false;
            if (literal(".") && !digits())
                return false;
            if (literal("e") || literal("E"))
                return (literal("+") || literal("-"), digits());
            return true;
        }
    }

    // The program escapes only quotes, backslashes and control bytes, so a
    // \u escape beyond ASCII is refused rather than decoded.
    bool string()
    {
        at_++;
        std::string decoded;
        while (at_ < text_.size()) {
            char c = text_[at_++];
            if (c == '"') {
                strings.push_back(decoded);
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                decoded += c;
                continue;
            }
            const std::string_view simple = "\"\\/bfnrt", meaning = "\"\\/\b\f\n\r\t";
            const std::string_view hex = "0123456789abcdef0123456789ABCDEF";
            std::size_t k = simple.find(peek());
            if (k != std::string_view::npos) {
                decoded += meaning[k];
                at_++;
                continue;
            }
            if (!literal("u") || at_ + 4 > text_.size())
                return false;
            unsigned code = 0;
            for (int i = 0; i < 4; i++, at_++) {
                std::size_t v = hex.find(text_[at_]);
                if (v == std::string_view::npos)
                    return false;
                code = code * 16 + static_cast<unsigned>(v % 16);
            }
            if (code >= 0x80)
                return false;
            decoded += static_cast<char>(code);
        }
        return false;
    }
};
