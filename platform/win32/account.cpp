// account.cpp - LogonUserA, ImpersonateLoggedOnUser, RevertToSelf (see platform/account.h).
#include "platform/account.h"

#include <windows.h>

int platform_account_logon(const char* user, const char* domain, const char* password,
                           intptr_t* token) {
    HANDLE handle = nullptr;
    if (!LogonUserA(user, domain && *domain ? domain : ".", password ? password : "",
                    LOGON32_LOGON_NETWORK, LOGON32_PROVIDER_DEFAULT, &handle)) {
        *token = -1;
        return static_cast<int>(GetLastError());
    }
    *token = reinterpret_cast<intptr_t>(handle);
    return 0;
}

int platform_account_impersonate(intptr_t token) {
    if (ImpersonateLoggedOnUser(reinterpret_cast<HANDLE>(token))) return 0;
    return static_cast<int>(GetLastError());
}

void platform_account_revert() {
    RevertToSelf();
}

void platform_account_close(intptr_t token) {
    if (token != -1 && token != 0) CloseHandle(reinterpret_cast<HANDLE>(token));
}
