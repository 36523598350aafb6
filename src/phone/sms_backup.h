// A streaming reader of the XML backup files that Android backup apps write: a root element
// <smses> (or <allsms>) with one <sms> or <mms> element per message.
//
//     <smses count="2">
//       <sms address="+15550100" date="1700000000123" type="1" body="Hello" read="1" ... />
//       <mms date="1700000100000" msg_box="1" sub="Photos" read="1" ...>
//         <parts> <part ct="image/jpeg" name="IMG_0001.jpg" data="/9j/4AAQ..." /> ... </parts>
//         <addrs> <addr address="+15550100" type="137" /> ... </addrs>
//       </mms>
//     </smses>
//
// The file is read in chunks of a fixed size and handed to expat, so memory is bounded by the
// largest single element, never by the file; the base64 media of the parts is decoded on the
// way in (part_data.h), so that only its bytes are held, and so are long text values
// (long_values.h), which the parser would hold several times over. Files in UTF-16, and the careless XML
// of writers other than the backup apps, are mended on the way in (lenient_xml.h), and so are
// numeric character references that strict parsers refuse (char_refs.h). Document type
// declarations may not declare entities.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace phone {

// Attributes in document order, name and value as UTF-8.
using Attributes = std::vector<std::pair<std::string, std::string>>;

// The value of attribute `name`; nothing when it is missing, empty or the text "null" (the
// backup apps copy the phone's database fields as they are, missing ones as "null").
std::optional<std::string_view> ValueOf(const Attributes& attributes, std::string_view name);

struct BackupPart {
    Attributes attributes;                          // every attribute but `data`
    std::optional<std::vector<std::uint8_t>> data;  // `data` decoded from base64, when given
};

// One element directly below the root: a message, or something else.
struct BackupElement {
    std::string name;        // "sms", "mms", or whatever stood there
    std::uint64_t line = 0;  // of its start tag
    Attributes attributes;
    std::vector<BackupPart> parts;   // the <part> elements inside an <mms>, in document order
    std::vector<Attributes> addrs;   // the <addr> elements inside an <mms>
    std::string problem;             // why its content cannot be read (a part that is not base64)
    std::vector<std::string> notes;  // what was left out of it (a <part> where none belongs)
};

struct ReadOutcome {
    bool complete = false;            // the whole file was read
    std::uint64_t line = 0;           // where reading stopped, when it did not complete
    std::string error;                // why
    bool malformed = false;           // it stopped where the file is not XML that can be read
    std::string there;                // then: the bytes at that place, as text
    std::uint64_t lenientPlaces = 0;  // places that were not well-formed XML, read leniently
    std::uint64_t firstLenientLine = 0;
};

struct ReadOptions {
    // Refuse what is not well-formed XML instead of reading it leniently (lenient_xml.h).
    bool strict = false;
    // Told, with its line, of what was cut out of the file (an attribute too long to be text).
    std::function<void(std::uint64_t, const std::string&)> note;
    // Called with the root element's attributes before anything below it; a non-empty result
    // stops the reading there with that result as the error.
    std::function<std::string(const Attributes&)> root;
};

class SmsBackupReader {
public:
    // Called for each element below the root once its end tag is read (it may take what it
    // wants out of the element); a non-empty result stops the reading there with that result
    // as the error.
    using Handler = std::function<std::string(BackupElement&)>;
    // Called after each chunk with the number of bytes read so far.
    using Progress = std::function<void(std::uint64_t)>;

    static constexpr std::size_t kChunkBytes = 256 * 1024;

    // Reads the file at host path `path`.
    static ReadOutcome ReadFile(const std::string& path, const Handler& handler, const Progress& progress = {},
                                const ReadOptions& options = {});
    // Reads an open stream to its end.
    static ReadOutcome Read(std::FILE* file, const Handler& handler, const Progress& progress = {},
                            const ReadOptions& options = {});
};

}  // namespace phone
