// shared_memory.cpp - named sections with shm_open and mmap; writer liveness with flock.
//
// flock locks belong to the open file description, not to the process, so a reader in the
// writer's own process (the tests) still sees the writer's lock, and closing a reader's
// descriptor never drops the writer's lock as fcntl locks would.
#include "platform/shared_memory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::string platform_shm_name(const char* name) {
    std::string text = name;
    for (const char* prefix : {"Global\\", "Local\\"}) {
        size_t length = std::strlen(prefix);
        if (text.compare(0, length, prefix) == 0) {
            text.erase(0, length);
            break;
        }
    }
    if (!text.empty() && text[0] == '/') text.erase(0, 1);
    for (char& c : text)
        if (c == '/' || c == '\\') c = '_';
    return "/" + text;
}

namespace {

// Opens or creates the section and takes the writer's lock on it. Returns the descriptor,
// or -1 with *error set.
int open_locked(const std::string& posix_name, int* error) {
    // Created with O_EXCL first so that only a section we made gets our mode bits; the
    // explicit fchmod undoes a restrictive umask, since readers run as other users.
    int fd = shm_open(posix_name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
        fchmod(fd, 0644);
    } else if (errno == EEXIST) {
        fd = shm_open(posix_name.c_str(), O_RDWR | O_CLOEXEC, 0);
    }
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    // Shared, not exclusive: a second writer of the same name (a misconfigured second
    // instance) still runs, and a reader's exclusive probe fails while any writer lives.
    // Blocking is safe: others hold the exclusive lock only for an instant.
    while (flock(fd, LOCK_SH) != 0) {
        if (errno == EINTR) continue;
        *error = errno;
        close(fd);
        return -1;
    }
    return fd;
}

// Whether the name still leads to the section open on fd: the last writer of an earlier
// run may have removed the name between our open and our lock.
bool still_named(const std::string& posix_name, int fd) {
    int check = shm_open(posix_name.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (check < 0) return false;
    struct stat ours, named;
    bool same = fstat(fd, &ours) == 0 && fstat(check, &named) == 0 && ours.st_dev == named.st_dev &&
                ours.st_ino == named.st_ino;
    close(check);
    return same;
}

}  // namespace

bool platform_shm_create(const char* name, size_t size, SharedSection* out, int* error) {
    std::string posix_name = platform_shm_name(name);
    int fd = -1;
    for (int attempt = 0; attempt < 10 && fd < 0; ++attempt) {
        fd = open_locked(posix_name, error);
        if (fd < 0) return false;
        if (!still_named(posix_name, fd)) {
            close(fd);
            fd = -1;
            *error = ENOENT;
        }
    }
    if (fd < 0) return false;
    struct stat status;
    if (fstat(fd, &status) != 0 || (static_cast<size_t>(status.st_size) < size &&
                                    ftruncate(fd, static_cast<off_t>(size)) != 0)) {
        *error = errno;
        close(fd);
        return false;
    }
    void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) {
        *error = errno;
        close(fd);
        return false;
    }
    out->address = address;
    out->size = size;
    out->handle = fd;
    out->name = posix_name;
    return true;
}

void platform_shm_close(SharedSection* section) {
    if (section->address) munmap(section->address, section->size);
    if (section->handle >= 0) {
        int fd = static_cast<int>(section->handle);
        // Turning our shared lock into an exclusive one succeeds only when no other writer
        // holds the section: then we are the last and take the name with us.
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) shm_unlink(section->name.c_str());
        close(fd);
    }
    *section = SharedSection{};
}

ShmReadResult platform_shm_read(const char* name, void* out, size_t size, bool* writer_alive,
                                int* error) {
    std::memset(out, 0, size);
    *writer_alive = false;
    int fd = shm_open(platform_shm_name(name).c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        if (errno == ENOENT) return SHM_READ_MISSING;
        *error = errno;
        return SHM_READ_OPEN_FAILED;
    }
    struct stat status;
    if (fstat(fd, &status) != 0) {
        *error = errno;
        close(fd);
        return SHM_READ_MAP_FAILED;
    }
    // Never map past the end of the section: touching those pages would raise SIGBUS.
    size_t available =
        static_cast<size_t>(status.st_size) < size ? static_cast<size_t>(status.st_size) : size;
    if (available > 0) {
        void* address = mmap(nullptr, available, PROT_READ, MAP_SHARED, fd, 0);
        if (address == MAP_FAILED) {
            *error = errno;
            close(fd);
            return SHM_READ_MAP_FAILED;
        }
        std::memcpy(out, address, available);
        munmap(address, available);
    }
    int probe;
    while ((probe = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    *writer_alive = probe != 0 && errno == EWOULDBLOCK;
    close(fd);  // also drops the probe lock when it was granted
    return SHM_READ_OK;
}

bool platform_shm_remove(const char* name) {
    return shm_unlink(platform_shm_name(name).c_str()) == 0;
}
