// account.h - running database work under another operating-system account: logon,
// impersonation and the return to the process's own account.
//
// The start-up logs on once on the main thread; the main thread, the database threads and
// the supervisor thread each impersonate the token for themselves (impersonation belongs
// to a thread). The token is closed by the shutdown after every thread has ended.
// Windows: LogonUser (network logon, default provider), ImpersonateLoggedOnUser,
// RevertToSelf. POSIX has no such calls: logon fails with kAccountNotSupported, and a
// program that needs another account is started under it instead.
#pragma once

#include <cstdint>

// The system's code for a request it does not support (ERROR_NOT_SUPPORTED on Windows).
inline constexpr int kAccountNotSupported = 50;

// Logs on as user in domain ("." for the local computer). Returns 0 and the token in
// *token, or the system's error code.
int platform_account_logon(const char* user, const char* domain, const char* password,
                           intptr_t* token);
// Makes the calling thread act as the token's account. Returns 0 or the system's error code.
int platform_account_impersonate(intptr_t token);
// Returns the calling thread to the process's own account.
void platform_account_revert();
void platform_account_close(intptr_t token);
