#include "phone/sms_backup.h"

#include <expat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "phone/base64.h"
#include "phone/char_refs.h"
#include "phone/lenient_xml.h"
#include "phone/long_values.h"
#include "phone/part_data.h"

namespace phone {

std::optional<std::string_view> ValueOf(const Attributes& attributes, std::string_view name) {
    for (const auto& [key, value] : attributes) {
        if (key != name) continue;
        if (value.empty() || value == "null") return std::nullopt;
        return std::string_view(value);
    }
    return std::nullopt;
}

namespace {

struct ParserDeleter {
    void operator()(XML_ParserStruct* parser) const { XML_ParserFree(parser); }
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The state of one reading, reached from expat's callbacks.
class Reading {
public:
    // `encoding`: what the text handed to the parser is, whatever its declaration says; null to
    // go by the declaration.
    Reading(const SmsBackupReader::Handler& handler, const ReadOptions& options, PartDataExtractor& extractor,
            LongValueExtractor& longValues, const char* encoding)
        : handler_(handler),
          options_(options),
          extractor_(extractor),
          longValues_(longValues),
          parser_(XML_ParserCreate(encoding)) {
        XML_SetUserData(parser_.get(), this);
        XML_SetElementHandler(parser_.get(), &Reading::OnStart, &Reading::OnEnd);
        XML_SetEntityDeclHandler(parser_.get(), &Reading::OnEntity);
    }

    XML_Parser Parser() const { return parser_.get(); }
    bool Stopped() const { return stopped_; }
    bool SawRoot() const { return sawRoot_; }
    std::uint64_t StopLine() const { return stopLine_; }
    const std::string& StopReason() const { return stopReason_; }

private:
    static void OnStart(void* self, const XML_Char* name, const XML_Char** attrs) {
        static_cast<Reading*>(self)->Start(name, attrs);
    }
    static void OnEnd(void* self, const XML_Char*) { static_cast<Reading*>(self)->End(); }
    static void OnEntity(void* self, const XML_Char*, int, const XML_Char*, int, const XML_Char*, const XML_Char*,
                         const XML_Char*, const XML_Char*) {
        static_cast<Reading*>(self)->Stop("the file declares entities, which a backup file never does");
    }

    std::uint64_t Line() const { return XML_GetCurrentLineNumber(parser_.get()); }

    void Stop(std::string reason) {
        if (stopped_) return;
        stopped_ = true;
        stopLine_ = Line();
        stopReason_ = std::move(reason);
        XML_StopParser(parser_.get(), XML_FALSE);
    }

    // The attributes of a start tag, with the long values that were taken out of the stream
    // put back. Only values written in the tag were taken out, not defaults a DTD gives.
    Attributes Resolve(const XML_Char** attrs) {
        Attributes all;
        const int specified = XML_GetSpecifiedAttributeCount(parser_.get());
        for (int i = 0; attrs[0] != nullptr; attrs += 2, i += 2) {
            std::string value(attrs[1]);
            if (i < specified && value.compare(0, LongValueExtractor::kMark.size(), LongValueExtractor::kMark) == 0) {
                std::string taken;
                if (longValues_.Take(&taken)) {
                    // After the placeholder: what the parser read of the value itself, if any.
                    taken.append(value, LongValueExtractor::kMark.size());
                    value = std::move(taken);
                }
            }
            all.emplace_back(attrs[0], std::move(value));
        }
        return all;
    }

    // Moves the attributes but `except` out of `all`.
    static void Move(Attributes& all, Attributes& into, std::string_view except = {}) {
        into.clear();
        for (auto& attribute : all) {
            if (!except.empty() && attribute.first == except) continue;
            into.push_back(std::move(attribute));
        }
    }

    static const std::string* Find(const Attributes& all, std::string_view name) {
        for (const auto& attribute : all) {
            if (attribute.first == name) return &attribute.second;
        }
        return nullptr;
    }

    void Start(const XML_Char* name, const XML_Char** attrs) {
        ++depth_;
        Attributes all = Resolve(attrs);
        if (depth_ == 1) {
            sawRoot_ = true;
            if (std::strcmp(name, "smses") != 0 && std::strcmp(name, "allsms") != 0) {
                Stop(std::string("not an SMS/MMS backup file (its root element is <") + name + ">, not <smses>)");
            } else if (options_.root) {
                if (std::string why = options_.root(all); !why.empty()) Stop(std::move(why));
            }
            return;
        }
        if (depth_ == 2) {
            element_.name = name;
            element_.line = Line();
            element_.parts.clear();
            element_.addrs.clear();
            element_.problem.clear();
            element_.notes.clear();
            if (std::strcmp(name, "part") == 0) DropData(all);
            Move(all, element_.attributes, "data");
            return;
        }
        if (element_.name != "mms") {
            if (std::strcmp(name, "part") == 0) {
                DropData(all);
                element_.notes.push_back("its <part> at line " + std::to_string(Line()) +
                                         " is outside any <mms> and skipped");
            }
            return;
        }
        if (std::strcmp(name, "part") == 0) {
            BackupPart& part = element_.parts.emplace_back();
            if (const std::string* data = Find(all, "data")) {
                const std::string_view text(*data);
                if (!text.empty() && text != "null") {
                    bool valid = true;
                    PartDataExtractor::Value value;
                    if (text[0] == '*' && extractor_.Take(&value)) {
                        part.data = std::move(value.bytes);
                        valid = value.valid;
                    } else {
                        part.data.emplace();
                        valid = DecodeBase64(text, *part.data);
                    }
                    if (!valid && element_.problem.empty()) {
                        element_.problem = "the data of its part " + std::to_string(element_.parts.size()) + " (line " +
                                           std::to_string(Line()) + ") is not base64";
                    }
                }
            }
            Move(all, part.attributes, "data");
        } else if (std::strcmp(name, "addr") == 0) {
            Move(all, element_.addrs.emplace_back());
        }
    }

    // The media of a <part> that belongs to no message is taken out of the queue and dropped,
    // so that it never reaches the parts of a later message.
    void DropData(const Attributes& all) {
        const std::string* data = Find(all, "data");
        PartDataExtractor::Value value;
        if (data != nullptr && !data->empty() && (*data)[0] == '*') extractor_.Take(&value);
    }

    void End() {
        if (depth_-- != 2 || stopped_) return;
        std::string error = handler_(element_);
        // The decoded media of the element is not needed any more.
        element_.parts.clear();
        if (!error.empty()) {
            stopped_ = true;
            stopLine_ = element_.line;
            stopReason_ = std::move(error);
            XML_StopParser(parser_.get(), XML_FALSE);
        }
    }

    const SmsBackupReader::Handler& handler_;
    const ReadOptions& options_;
    PartDataExtractor& extractor_;
    LongValueExtractor& longValues_;
    std::unique_ptr<XML_ParserStruct, ParserDeleter> parser_;
    int depth_ = 0;
    bool sawRoot_ = false;
    BackupElement element_;
    bool stopped_ = false;
    std::uint64_t stopLine_ = 0;
    std::string stopReason_;
};

ReadOutcome Stop(std::uint64_t line, std::string why) {
    ReadOutcome outcome;
    outcome.line = line;
    outcome.error = std::move(why);
    return outcome;
}

// The bytes at the parser's current place, up to the end of their line, as printable text.
std::string BytesThere(XML_Parser parser) {
    int offset = 0, size = 0;
    const char* context = XML_GetInputContext(parser, &offset, &size);
    if (context == nullptr || offset < 0 || offset >= size) return "(the end of the file)";
    std::string text;
    for (int i = offset; i < size && i < offset + 40; ++i) {
        const unsigned char c = static_cast<unsigned char>(context[i]);
        if (c == '\n' || c == '\r') break;
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text;
}

}  // namespace

ReadOutcome SmsBackupReader::ReadFile(const std::string& path, const Handler& handler, const Progress& progress,
                                      const ReadOptions& options) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return Stop(0, std::string("cannot open the file: ") + std::strerror(errno));
    return Read(file.get(), handler, progress, options);
}

ReadOutcome SmsBackupReader::Read(std::FILE* file, const Handler& handler, const Progress& progress,
                                  const ReadOptions& options) {
    PartDataExtractor extractor;
    LongValueExtractor longValues;
    InputDecoder decoder;
    XmlMender mender(!options.strict);
    std::optional<Reading> reading;
    CharRefFixer fixer;
    std::vector<char> chunk(kChunkBytes);
    std::string decoded, fixed, extracted, mended, parsed;
    std::uint64_t total = 0;
    const auto outcome = [&](ReadOutcome result) {
        result.lenientPlaces = mender.Places();
        result.firstLenientLine = mender.FirstPlaceLine();
        return result;
    };
    for (;;) {
        const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file);
        if (n < chunk.size() && std::ferror(file)) {
            const std::string why = std::string("cannot read the file: ") + std::strerror(errno);
            return outcome(Stop(reading ? XML_GetCurrentLineNumber(reading->Parser()) : 0, why));
        }
        total += n;
        const bool last = n == 0;
        decoded.clear();
        fixed.clear();
        extracted.clear();
        mended.clear();
        parsed.clear();
        if (last) {
            decoder.Finish(decoded);
        } else {
            decoder.Feed(std::string_view(chunk.data(), n), decoded);
        }
        mender.Feed(decoded, fixed);
        if (last) mender.Finish(fixed);
        if (options.note) {
            for (const auto& [line, what] : mender.TakeNotes()) options.note(line, what);
        }
        extractor.Feed(fixed, extracted);
        fixer.Feed(extracted, mended);
        if (last) fixer.Finish(mended);
        if (decoder.WasUtf16()) longValues.AssumeUtf8();
        longValues.Feed(mended, parsed);
        if (last) longValues.Finish(parsed);
        if (!reading) {
            if (!last && parsed.empty()) continue;  // the encoding is not known yet
            reading.emplace(handler, options, extractor, longValues, decoder.WasUtf16() ? "UTF-8" : nullptr);
        }
        XML_Parser parser = reading->Parser();
        const XML_Status status =
            XML_Parse(parser, parsed.data(), static_cast<int>(parsed.size()), last ? XML_TRUE : XML_FALSE);
        if (reading->Stopped()) return outcome(Stop(reading->StopLine(), reading->StopReason()));
        if (status != XML_STATUS_OK) {
            const XML_Error code = XML_GetErrorCode(parser);
            std::string why = XML_ErrorString(code);
            ReadOutcome result = Stop(XML_GetCurrentLineNumber(parser), why);
            if (total == 0) {
                result.error = "the file is empty";
            } else if (!reading->SawRoot()) {
                result.error = "not an SMS/MMS backup file (" + why + ")";
            } else if (last && (code == XML_ERROR_NO_ELEMENTS || code == XML_ERROR_UNCLOSED_TOKEN ||
                                code == XML_ERROR_PARTIAL_CHAR)) {
                result.error = "the file ends in the middle of an element (" + why + "): it is cut off";
            } else {
                result.malformed = true;
                result.there = BytesThere(parser);
            }
            return outcome(result);
        }
        if (progress) progress(total);
        if (last) {
            ReadOutcome done;
            done.complete = true;
            return outcome(done);
        }
    }
}

}  // namespace phone
