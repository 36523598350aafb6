#include "phone/sms_backup.h"

#include <expat.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "phone/base64.h"
#include "phone/char_refs.h"
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
    Reading(const SmsBackupReader::Handler& handler, PartDataExtractor& extractor)
        : handler_(handler), extractor_(extractor), parser_(XML_ParserCreate(nullptr)) {
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

    static void Copy(const XML_Char** attrs, Attributes& into, const char* except = nullptr) {
        into.clear();
        for (; attrs[0] != nullptr; attrs += 2) {
            if (except != nullptr && std::strcmp(attrs[0], except) == 0) continue;
            into.emplace_back(attrs[0], attrs[1]);
        }
    }

    void Start(const XML_Char* name, const XML_Char** attrs) {
        ++depth_;
        if (depth_ == 1) {
            sawRoot_ = true;
            if (std::strcmp(name, "smses") != 0 && std::strcmp(name, "allsms") != 0) {
                Stop(std::string("not an SMS/MMS backup file (its root element is <") + name + ">, not <smses>)");
            }
            return;
        }
        if (depth_ == 2) {
            element_.name = name;
            element_.line = Line();
            element_.parts.clear();
            element_.addrs.clear();
            element_.problem.clear();
            Copy(attrs, element_.attributes);
            return;
        }
        if (element_.name != "mms") return;
        if (std::strcmp(name, "part") == 0) {
            BackupPart& part = element_.parts.emplace_back();
            Copy(attrs, part.attributes, "data");
            for (const XML_Char** a = attrs; a[0] != nullptr; a += 2) {
                if (std::strcmp(a[0], "data") != 0) continue;
                const std::string_view text(a[1]);
                if (text.empty() || text == "null") break;
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
                    element_.problem = "the data of its part " + std::to_string(element_.parts.size()) +
                                       " (line " + std::to_string(Line()) + ") is not base64";
                }
                break;
            }
        } else if (std::strcmp(name, "addr") == 0) {
            Copy(attrs, element_.addrs.emplace_back());
        }
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
    PartDataExtractor& extractor_;
    std::unique_ptr<XML_ParserStruct, ParserDeleter> parser_;
    int depth_ = 0;
    bool sawRoot_ = false;
    BackupElement element_;
    bool stopped_ = false;
    std::uint64_t stopLine_ = 0;
    std::string stopReason_;
};

}  // namespace

ReadOutcome SmsBackupReader::ReadFile(const std::string& path, const Handler& handler, const Progress& progress) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return {false, 0, std::string("cannot open the file: ") + std::strerror(errno)};
    return Read(file.get(), handler, progress);
}

ReadOutcome SmsBackupReader::Read(std::FILE* file, const Handler& handler, const Progress& progress) {
    PartDataExtractor extractor;
    Reading reading(handler, extractor);
    XML_Parser parser = reading.Parser();
    CharRefFixer fixer;
    std::vector<char> chunk(kChunkBytes);
    std::string extracted, mended;
    std::uint64_t total = 0;
    for (;;) {
        const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file);
        if (n < chunk.size() && std::ferror(file)) {
            const std::string why = std::string("cannot read the file: ") + std::strerror(errno);
            return {false, XML_GetCurrentLineNumber(parser), why};
        }
        total += n;
        const bool last = n == 0;
        mended.clear();
        if (last) {
            fixer.Finish(mended);
        } else {
            extracted.clear();
            extractor.Feed(std::string_view(chunk.data(), n), extracted);
            fixer.Feed(extracted, mended);
        }
        const XML_Status status =
            XML_Parse(parser, mended.data(), static_cast<int>(mended.size()), last ? XML_TRUE : XML_FALSE);
        if (reading.Stopped()) return {false, reading.StopLine(), reading.StopReason()};
        if (status != XML_STATUS_OK) {
            const XML_Error code = XML_GetErrorCode(parser);
            std::string why = XML_ErrorString(code);
            if (total == 0) {
                why = "the file is empty";
            } else if (!reading.SawRoot()) {
                why = "not an SMS/MMS backup file (" + why + ")";
            } else if (last && (code == XML_ERROR_NO_ELEMENTS || code == XML_ERROR_UNCLOSED_TOKEN ||
                                code == XML_ERROR_PARTIAL_CHAR)) {
                why = "the file ends in the middle of an element (" + why + "): it is cut off";
            }
            return {false, XML_GetCurrentLineNumber(parser), why};
        }
        if (progress) progress(total);
        if (last) return {true, 0, {}};
    }
}

}  // namespace phone
