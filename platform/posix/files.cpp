// files.cpp - directory creation with mkdir(2).
#include "platform/files.h"

#include <sys/stat.h>

// 0777 before the umask, as a shell's mkdir does: the operator's umask decides.
bool platform_make_directory(const char* path) {
    return mkdir(path, 0777) == 0;
}

// Standard input already delivers bytes unchanged here.
int platform_binary_standard_input() {
    return 0;
}
