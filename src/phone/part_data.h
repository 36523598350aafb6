// The base64 media of a backup file taken out of the byte stream before the XML parser sees it.
//
// A parser holds an attribute value whole, and more than once, before it hands it over: a
// part of 100 MB would cost several hundred MB. This filter reads the stream as it passes,
// decodes the value of every `data` attribute of a <part> start tag as it goes, and hands the
// parser "*" instead, followed by the line ends the value spanned so that line numbers stay
// those of the file. The decoded values wait in document order until the reader takes them
// for the <part> elements whose `data` begins with "*". An empty value and the text "null"
// pass unchanged. Character references inside a value may only be white space ("&#10;").
//
// The filter knows just enough of XML to find start tags: comments, CDATA sections,
// processing instructions and declarations are passed over whole.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "phone/base64.h"
#include "phone/xml_markup.h"

namespace phone {

class PartDataExtractor {
public:
    struct Value {
        std::vector<std::uint8_t> bytes;
        bool valid = true;  // false: the value was not base64
    };

    // Appends what the parser is to see of `data` to `out`.
    void Feed(std::string_view data, std::string& out);
    // The next decoded value, in document order; false when there is none.
    bool Take(Value* value);

private:
    enum class State {
        Text,
        Open,
        Markup,
        EndTag,
        TagName,
        InTag,
        AttrName,
        BeforeEquals,
        BeforeValue,
        Quoted,
        DataHead,
        Data,
    };

    // Handles one character in a state other than Text, Quoted, DataHead and Data.
    void Step(char c);
    void CommitData();
    void DataChar(char c);
    void EndData(std::string& out);

    State state_ = State::Text;
    std::string name_;  // the tag or attribute name read so far (its first characters)
    bool inPart_ = false;
    char quote_ = 0;
    SkippedMarkup markup_;
    std::string head_;    // the first characters of a data value, while it may still be "null"
    std::string ref_;     // a character reference inside a data value, until its ";"
    std::string breaks_;  // the line-end characters of the data value
    Base64Decoder decoder_;
    Value value_;
    std::deque<Value> ready_;
};

}  // namespace phone
