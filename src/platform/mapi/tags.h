// Property tags of the message store: the property identifier in the high 16 bits, the
// type in the low 16 bits.
#pragma once

#include "platform/mapi/types.h"

namespace platform::mapi {

// Every object.
constexpr ULONG PR_ENTRYID = 0x0FFF0102;
constexpr ULONG PR_OBJECT_TYPE = 0x0FFE0003;
constexpr ULONG PR_STORE_ENTRYID = 0x0FFB0102;
constexpr ULONG PR_RECORD_KEY = 0x0FF90102;
constexpr ULONG PR_PARENT_ENTRYID = 0x0E090102;
constexpr ULONG PR_DISPLAY_NAME_W = 0x3001001F;

// Message stores.
constexpr ULONG PR_IPM_SUBTREE_ENTRYID = 0x35E00102;
constexpr ULONG PR_IPM_OUTBOX_ENTRYID = 0x35E20102;
constexpr ULONG PR_IPM_WASTEBASKET_ENTRYID = 0x35E30102;
constexpr ULONG PR_IPM_SENTMAIL_ENTRYID = 0x35E40102;

// Folders.
constexpr ULONG PR_FOLDER_TYPE = 0x36010003;
constexpr ULONG PR_CONTENT_COUNT = 0x36020003;
constexpr ULONG PR_CONTENT_UNREAD = 0x36030003;
constexpr ULONG PR_SUBFOLDERS = 0x360A000B;

// Messages.
constexpr ULONG PR_MESSAGE_CLASS_W = 0x001A001F;
constexpr ULONG PR_SUBJECT_W = 0x0037001F;
constexpr ULONG PR_SUBJECT_PREFIX_W = 0x003D001F;
constexpr ULONG PR_CONTENT_LENGTH = 0x00090003;
constexpr ULONG PR_SENDER_NAME_W = 0x0C1A001F;
constexpr ULONG PR_SENDER_EMAIL_ADDRESS_W = 0x0C1F001F;
constexpr ULONG PR_MESSAGE_DELIVERY_TIME = 0x0E060040;
constexpr ULONG PR_MESSAGE_FLAGS = 0x0E070003;
constexpr ULONG PR_MESSAGE_SIZE = 0x0E080003;
constexpr ULONG PR_MSG_STATUS = 0x0E170003;
constexpr ULONG PR_HASATTACH = 0x0E1B000B;
constexpr ULONG PR_BODY_W = 0x1000001F;
constexpr ULONG PR_LAST_MODIFICATION_TIME = 0x30080040;
constexpr ULONG PR_SERVICE_NAME_W = 0x3D09001F;

// Recipient rows.
constexpr ULONG PR_RECIPIENT_TYPE = 0x0C150003;
constexpr ULONG PR_ROWID = 0x30000003;
constexpr ULONG PR_ADDRTYPE_W = 0x3002001F;
constexpr ULONG PR_EMAIL_ADDRESS_W = 0x3003001F;

// Attachments.
constexpr ULONG PR_ATTACH_SIZE = 0x0E200003;
constexpr ULONG PR_ATTACH_NUM = 0x0E210003;
constexpr ULONG PR_ATTACH_DATA_BIN = 0x37010102;
constexpr ULONG PR_ATTACH_FILENAME_W = 0x3704001F;
constexpr ULONG PR_ATTACH_METHOD = 0x37050003;

// The placeholder entry of a value list (type PT_NULL, identifier 0).
constexpr ULONG PR_NULL = 0x00000001;

}  // namespace platform::mapi
