// The message-store interface's data types: results, property values and tags, counted
// arrays, notifications and stream status.
//
// Counted arrays (SPropTagArray, SRowSet, ADRLIST, ENTRYLIST) carry a pointer to their
// elements instead of a trailing array, so that they can be built from ordinary C++ arrays:
//
//     ULONG tags[] = {PR_ENTRYID, PR_DISPLAY_NAME_W};
//     SPropTagArray columns{2, tags};
#pragma once

#include <cstdint>

#include "platform/time.h"

namespace platform::mapi {

using BYTE = std::uint8_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using DWORD = std::uint32_t;
using ULONG_PTR = std::uintptr_t;
using HRESULT = std::int32_t;  // 0 is success; failures have the top bit set
using SCODE = HRESULT;
using ENTRYID = BYTE;  // entry identifiers are opaque byte strings

constexpr HRESULT R(std::uint32_t code) { return static_cast<HRESULT>(code); }

constexpr HRESULT S_OK = 0;
constexpr HRESULT MAPI_E_CALL_FAILED = R(0x80004005);
constexpr HRESULT MAPI_E_NOT_ENOUGH_MEMORY = R(0x8007000E);
constexpr HRESULT MAPI_E_INVALID_PARAMETER = R(0x80070057);
constexpr HRESULT MAPI_E_INTERFACE_NOT_SUPPORTED = R(0x80004002);
constexpr HRESULT MAPI_E_NO_ACCESS = R(0x80070005);
constexpr HRESULT MAPI_E_NO_SUPPORT = R(0x80040102);
constexpr HRESULT MAPI_E_UNKNOWN_FLAGS = R(0x80040106);
constexpr HRESULT MAPI_E_INVALID_ENTRYID = R(0x80040107);
constexpr HRESULT MAPI_E_INVALID_OBJECT = R(0x80040108);
constexpr HRESULT MAPI_E_OBJECT_DELETED = R(0x8004010A);
constexpr HRESULT MAPI_E_NOT_FOUND = R(0x8004010F);
constexpr HRESULT MAPI_E_LOGON_FAILED = R(0x80040111);
constexpr HRESULT MAPI_E_DISK_ERROR = R(0x80040116);
constexpr HRESULT MAPI_E_UNKNOWN_ENTRYID = R(0x80040201);
constexpr HRESULT MAPI_E_BAD_VALUE = R(0x80040301);
constexpr HRESULT MAPI_E_INVALID_TYPE = R(0x80040302);
constexpr HRESULT MAPI_E_COLLISION = R(0x80040604);
constexpr HRESULT MAPI_E_NOT_INITIALIZED = R(0x80040605);
constexpr HRESULT MAPI_W_ERRORS_RETURNED = R(0x00040380);

// Property types (the low 16 bits of a tag).
constexpr ULONG PT_UNSPECIFIED = 0x0000;
constexpr ULONG PT_NULL = 0x0001;
constexpr ULONG PT_I2 = 0x0002;
constexpr ULONG PT_LONG = 0x0003;
constexpr ULONG PT_R4 = 0x0004;
constexpr ULONG PT_DOUBLE = 0x0005;
constexpr ULONG PT_CURRENCY = 0x0006;
constexpr ULONG PT_APPTIME = 0x0007;
constexpr ULONG PT_ERROR = 0x000A;
constexpr ULONG PT_BOOLEAN = 0x000B;
constexpr ULONG PT_OBJECT = 0x000D;
constexpr ULONG PT_I8 = 0x0014;
constexpr ULONG PT_STRING8 = 0x001E;
constexpr ULONG PT_UNICODE = 0x001F;
constexpr ULONG PT_SYSTIME = 0x0040;
constexpr ULONG PT_CLSID = 0x0048;
constexpr ULONG PT_BINARY = 0x0102;
constexpr ULONG MV_FLAG = 0x1000;

constexpr ULONG PROP_TYPE(ULONG tag) { return tag & 0xFFFF; }
constexpr ULONG PROP_ID(ULONG tag) { return tag >> 16; }
constexpr ULONG PROP_TAG(ULONG type, ULONG id) { return (id << 16) | type; }
constexpr ULONG CHANGE_PROP_TYPE(ULONG tag, ULONG type) { return (tag & 0xFFFF0000u) | type; }

// Object types (PR_OBJECT_TYPE and the type that OpenEntry reports).
constexpr ULONG MAPI_STORE = 1;
constexpr ULONG MAPI_FOLDER = 3;
constexpr ULONG MAPI_MESSAGE = 5;
constexpr ULONG MAPI_MAILUSER = 6;
constexpr ULONG MAPI_ATTACH = 7;

// Flags.
constexpr ULONG MAPI_MODIFY = 0x00000001;
constexpr ULONG MAPI_CREATE = 0x00000002;
// OpenEntry: the object is opened once it is known to exist; its properties, recipients and
// attachments are read when first asked for, rather than at the opening.
constexpr ULONG MAPI_DEFERRED_ERRORS = 0x00000008;
constexpr ULONG OPEN_IF_EXISTS = 0x00000001;
constexpr ULONG MAPI_UNICODE = 0x80000000;
constexpr ULONG MODRECIP_ADD = 0x00000002;
constexpr ULONG MODRECIP_MODIFY = 0x00000004;
constexpr ULONG MODRECIP_REMOVE = 0x00000008;
constexpr ULONG MESSAGE_MOVE = 0x00000001;
constexpr ULONG DEL_MESSAGES = 0x00000008;
constexpr ULONG DEL_FOLDERS = 0x00000004;
constexpr ULONG FOLDER_ROOT = 0;
constexpr ULONG FOLDER_GENERIC = 1;
constexpr ULONG MSGFLAG_READ = 0x00000001;
constexpr ULONG ATTACH_BY_VALUE = 1;
constexpr ULONG MAPI_TO = 1;
constexpr ULONG MAPI_CC = 2;
constexpr ULONG MAPI_BCC = 3;
constexpr ULONG STATFLAG_NONAME = 1;
constexpr ULONG STREAM_SEEK_SET = 0;
constexpr ULONG STREAM_SEEK_CUR = 1;
constexpr ULONG STREAM_SEEK_END = 2;

// Notification event types (also the bits of an Advise event mask).
constexpr ULONG fnevObjectCreated = 0x00000004;
constexpr ULONG fnevObjectDeleted = 0x00000008;
constexpr ULONG fnevObjectModified = 0x00000010;
constexpr ULONG fnevObjectMoved = 0x00000020;
constexpr ULONG fnevObjectCopied = 0x00000040;

struct IID {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::uint8_t data4[8] = {};
    friend bool operator==(const IID&, const IID&) = default;
};

constexpr IID MapiIid(std::uint32_t first) { return IID{first, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}}; }
constexpr IID IID_IUnknown = MapiIid(0x00000000);
constexpr IID IID_IStream = MapiIid(0x0000000C);
constexpr IID IID_IMAPISession = MapiIid(0x00020300);
constexpr IID IID_IMAPITable = MapiIid(0x00020301);
constexpr IID IID_IMAPIAdviseSink = MapiIid(0x00020302);
constexpr IID IID_IMAPIProp = MapiIid(0x00020303);
constexpr IID IID_IMsgStore = MapiIid(0x00020306);
constexpr IID IID_IMessage = MapiIid(0x00020307);
constexpr IID IID_IAttachment = MapiIid(0x00020308);
constexpr IID IID_IMAPIContainer = MapiIid(0x0002030B);
constexpr IID IID_IMAPIFolder = MapiIid(0x0002030C);

struct SBinary {
    ULONG cb = 0;
    BYTE* lpb = nullptr;
};

// The value of one property; which member is meant follows from the tag's type.
union PropValueUnion {
    std::int16_t i;    // PT_I2
    LONG l;            // PT_LONG
    ULONG ul;          // PT_LONG read as unsigned
    float flt;         // PT_R4
    double dbl;        // PT_DOUBLE, PT_APPTIME
    unsigned short b;  // PT_BOOLEAN
    std::int64_t li;   // PT_I8, PT_CURRENCY
    FILETIME ft;       // PT_SYSTIME
    char* lpszA;       // PT_STRING8, zero-terminated
    char16_t* lpszW;   // PT_UNICODE, zero-terminated UTF-16
    SBinary bin;       // PT_BINARY
    IID* lpguid;       // PT_CLSID
    SCODE err;         // PT_ERROR
    LONG x;            // PT_NULL, PT_OBJECT
    BYTE raw[16];      // the value's bytes

    PropValueUnion() : raw{} {}  // a new value is all zero bits
};

struct SPropValue {
    ULONG ulPropTag = 0;
    ULONG dwAlignPad = 0;
    PropValueUnion Value;
};

struct SPropTagArray {
    ULONG cValues = 0;
    const ULONG* aulPropTag = nullptr;
};

struct SPropProblem {
    ULONG ulIndex = 0;
    ULONG ulPropTag = 0;
    SCODE scode = 0;
};

struct SPropProblemArray {
    ULONG cProblem = 0;
    SPropProblem* aProblem = nullptr;
};

struct SRow {
    ULONG ulAdrEntryPad = 0;
    ULONG cValues = 0;
    SPropValue* lpProps = nullptr;
};

struct SRowSet {
    ULONG cRows = 0;
    SRow* aRow = nullptr;
};

// One recipient for ModifyRecipients.
struct ADRENTRY {
    ULONG ulReserved1 = 0;
    ULONG cValues = 0;
    SPropValue* rgPropVals = nullptr;
};

struct ADRLIST {
    ULONG cEntries = 0;
    ADRENTRY* aEntries = nullptr;
};

struct SBinaryArray {
    ULONG cValues = 0;
    SBinary* lpbin = nullptr;
};
using ENTRYLIST = SBinaryArray;

struct OBJECT_NOTIFICATION {
    ULONG cbEntryID = 0;
    ENTRYID* lpEntryID = nullptr;
    ULONG ulObjType = 0;
    ULONG cbParentID = 0;
    ENTRYID* lpParentID = nullptr;
    ULONG cbOldID = 0;
    ENTRYID* lpOldID = nullptr;
    ULONG cbOldParentID = 0;
    ENTRYID* lpOldParentID = nullptr;
    SPropTagArray* lpPropTagArray = nullptr;
};

struct NOTIFICATION {
    ULONG ulEventType = 0;
    ULONG ulAlignPad = 0;
    union Info {
        OBJECT_NOTIFICATION obj;
        Info() : obj() {}
    } info;
};

// Stream status (IStream::Stat). The name is never filled in.
struct STATSTG {
    char16_t* pwcsName = nullptr;
    DWORD type = 0;
    std::uint64_t cbSize = 0;
    FILETIME mtime;
    FILETIME ctime;
    FILETIME atime;
    DWORD grfMode = 0;
    DWORD grfLocksSupported = 0;
    IID clsid;
    DWORD grfStateBits = 0;
    DWORD reserved = 0;
};
constexpr DWORD STGTY_STREAM = 2;

}  // namespace platform::mapi
