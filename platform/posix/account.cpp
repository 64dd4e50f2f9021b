// account.cpp - no logon as another account on POSIX (see platform/account.h).
//
// Switching a thread to another user needs privileges zel does not run with and would
// change the whole process's identity, not one thread's; the service manager starts zel
// under the right account instead.
#include "platform/account.h"

int platform_account_logon(const char*, const char*, const char*, intptr_t* token) {
    *token = -1;
    return kAccountNotSupported;
}

int platform_account_impersonate(intptr_t) {
    return kAccountNotSupported;
}

void platform_account_revert() {}

void platform_account_close(intptr_t) {}
