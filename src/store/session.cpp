#include "store/session.h"

#include "support/fatal.h"

namespace tallymere {

namespace mapi = platform::mapi;

mapi::Ptr<mapi::IMAPISession> SessionLogon() {
    mapi::Ptr<mapi::IMAPISession> session;
    if (mapi::MAPILogonEx(0, nullptr, nullptr, 0, session.Out()) != 0 || !session) {
        FatalError(u"MAPILogonEx failed.", u"SessionLogon");
    }
    return session;
}

void SessionLogoff(mapi::Ptr<mapi::IMAPISession> session) {
    if (session->Logoff(0, 0, 0) != 0) FatalError(u"Logoff failed.", u"SessionLogoff");
}

}  // namespace tallymere
