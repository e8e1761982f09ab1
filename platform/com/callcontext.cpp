#include "platform/com/callcontext.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/types/wstr.h"

namespace plat {

namespace {

thread_local const CallContext* t_context = nullptr;
std::atomic<LCID> g_locale{0};

LCID LocaleFromEnvironment() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(name);
        if (!v || !*v) continue;
        std::string s = AsciiLower(v);
        return s.rfind("ru", 0) == 0 ? LOCALE_RU_RU : LOCALE_EN_US;
    }
    return LOCALE_EN_US;
}

// Looked up once per thread: the process's identity does not change under a running service,
// and the registry read is not free.
const CallContext& OwnContext() {
    thread_local CallContext ctx = [] {
        CallContext c;
        c.uid = static_cast<uint32_t>(::geteuid());
        c.gid = static_cast<uint32_t>(::getegid());
        c.pid = static_cast<int32_t>(::getpid());
        c.admin = IsAdministrator(c.uid, c.gid);
        c.peer = "self";
        return c;
    }();
    ctx.locale = ProcessLocale();
    return ctx;
}

}  // namespace

const CallContext& GetCallContext() {
    return t_context ? *t_context : OwnContext();
}

CallContextScope::CallContextScope(const CallContext& ctx) : prev_(t_context) {
    t_context = &ctx;
}
CallContextScope::~CallContextScope() {
    t_context = prev_;
}

std::string AdminGroupName() {
    std::string name;
    if (reg::ReadString(reg::Hive::LocalMachine, kTransportKey, "AdminGroup", name) !=
            ERROR_SUCCESS ||
        name.empty())
        return std::string(kDefaultAdminGroup);
    return name;
}

// decisions HOST-71
bool TrustRemoteClients() {
    uint32_t v = 0;
    return reg::ReadDword(reg::Hive::LocalMachine, kTransportKey, "TrustRemoteClients", v) ==
               ERROR_SUCCESS &&
           v != 0;
}

bool IsAdministrator(uint32_t uid, uint32_t gid) {
    if (uid == 0) return true;
    if (uid == kNoUid) return false;
    const std::string group = AdminGroupName();

    std::vector<char> buf(16384);
    struct group gr {};
    struct group* grp = nullptr;
    if (::getgrnam_r(group.c_str(), &gr, buf.data(), buf.size(), &grp) != 0 || !grp) return false;
    const gid_t admin_gid = grp->gr_gid;
    if (gid != kNoUid && gid == admin_gid) return true;

    std::vector<char> pbuf(16384);
    struct passwd pw {};
    struct passwd* pwp = nullptr;
    if (::getpwuid_r(static_cast<uid_t>(uid), &pw, pbuf.data(), pbuf.size(), &pwp) != 0 || !pwp)
        return false;
    if (pwp->pw_gid == admin_gid) return true;
    int n = 64;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    if (::getgrouplist(pwp->pw_name, pwp->pw_gid, groups.data(), &n) < 0) {
        groups.resize(static_cast<size_t>(n));
        if (::getgrouplist(pwp->pw_name, pwp->pw_gid, groups.data(), &n) < 0) return false;
    }
    for (int i = 0; i < n; ++i)
        if (groups[static_cast<size_t>(i)] == admin_gid) return true;
    return false;
}

LCID ProcessLocale() {
    LCID l = g_locale.load(std::memory_order_relaxed);
    return l ? l : LocaleFromEnvironment();
}

void SetProcessLocale(LCID lcid) {
    g_locale.store(lcid, std::memory_order_relaxed);
}

}  // namespace plat
