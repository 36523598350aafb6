// Logon and logoff: every piece of work that touches the message stores runs between a
// SessionLogon and its SessionLogoff; no session outlives one operation.
#pragma once

#include "platform/mapi/ptr.h"

namespace tallymere {

// A new session on the device's message stores (MAPI is already initialised by start-up).
// Failure: "MAPILogonEx failed." / "SessionLogon".
platform::mapi::Ptr<platform::mapi::IMAPISession> SessionLogon();

// Logs the session off and releases it. Failure: "Logoff failed." / "SessionLogoff".
void SessionLogoff(platform::mapi::Ptr<platform::mapi::IMAPISession> session);

}  // namespace tallymere
