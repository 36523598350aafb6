// Markup that the import's byte filters pass over: what follows "<!" or "<?" in a backup file up
// to its end. The lenient reading, the part-data extractor and the long-value extractor each
// look at the same bytes before the parser does; they share this so that they agree on where a
// comment, a CDATA section, a declaration or a processing instruction ends (an attribute one of
// them took for markup and another did not would hand a value to the wrong message).
#pragma once

#include <string>
#include <string_view>

namespace phone {

class SkippedMarkup {
public:
    // After "<!": a comment, a CDATA section or a declaration (its internal subset included).
    void StartBang() {
        kind_ = Kind::Bang;
        bang_.clear();
    }
    // After "<?": a processing instruction (the XML declaration is one).
    void StartInstruction() {
        kind_ = Kind::Instruction;
        closing_ = 0;
    }
    bool InInstruction() const { return kind_ == Kind::Instruction; }

    // Takes the next character; true when it ends the markup.
    bool Step(char c) {
        switch (kind_) {
            case Kind::Bang: return BangChar(c);
            case Kind::Declaration: return DeclarationChar(c);
            case Kind::Comment: return Closes(c, "-->");
            case Kind::CData: return Closes(c, "]]>");
            case Kind::Instruction: return Closes(c, "?>");
        }
        return false;
    }

private:
    enum class Kind { Bang, Comment, CData, Instruction, Declaration };

    bool BangChar(char c) {
        bang_ += c;
        if (bang_ == "--" || bang_ == "[CDATA[") {
            kind_ = bang_ == "--" ? Kind::Comment : Kind::CData;
            closing_ = 0;
            return false;
        }
        if (std::string_view("--").starts_with(bang_) || std::string_view("[CDATA[").starts_with(bang_)) return false;
        // A declaration: every character after "<!" counts in it, its brackets and quotes too.
        kind_ = Kind::Declaration;
        depth_ = 0;
        quote_ = 0;
        for (const char d : bang_) {
            if (DeclarationChar(d)) return true;
        }
        return false;
    }

    bool DeclarationChar(char c) {
        if (quote_ != 0) {
            if (c == quote_) quote_ = 0;
        } else if (c == '"' || c == '\'') {
            quote_ = c;
        } else if (c == '[') {
            ++depth_;
        } else if (c == ']') {
            if (depth_ > 0) --depth_;  // a stray "]" opens nothing to close later
        } else if (c == '>' && depth_ == 0) {
            return true;
        }
        return false;
    }

    // Whether `c` completes `end` ("-->", "]]>", "?>"); "--->" and "]]]>" end too.
    bool Closes(char c, std::string_view end) {
        if (c == end[closing_]) return ++closing_ == static_cast<int>(end.size());
        closing_ = c == end[0] ? 1 : 0;
        if (end.size() == 3 && c == end[1] && c == end[0]) closing_ = 2;
        return false;
    }

    Kind kind_ = Kind::Bang;
    std::string bang_;  // what follows "<!" until it says what comes
    int closing_ = 0;   // characters of the end seen
    int depth_ = 0;     // "[" open inside a declaration
    char quote_ = 0;    // a quote open inside a declaration
};

}  // namespace phone
