// logfile_posix.cpp - the log reader's file calls on Linux.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "logcheck/logfile_os.h"

namespace zp {

struct os_file {
    int fd = -1;
    int error = 0;
    ~os_file() {
        if (fd >= 0) ::close(fd);
    }
};

path_style os_path_style() { return path_style::posix; }

void os_file_deleter::operator()(os_file* f) const { std::default_delete<os_file>()(f); }

err os_file_open(const std::string& path, os_file_ptr* out) {
    int fd;
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return err::text(system_error_text(errno));
    auto f = std::make_unique<os_file>();
    f->fd = fd;
    out->reset(f.release());
    return {};
}

int64_t os_file_read(os_file& f, char* buf, size_t n) {
    for (;;) {
        ssize_t r = ::read(f.fd, buf, n);
        if (r >= 0) return r;
        if (errno == EINTR) continue;
        f.error = errno;
        return -1;
    }
}

int64_t os_file_read_at(os_file& f, int64_t pos, char* buf, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::pread(f.fd, buf + done, n - done, static_cast<off_t>(pos + static_cast<int64_t>(done)));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            f.error = errno;
            return -1;
        }
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
}

int64_t os_file_seek(os_file& f, int64_t pos) {
    off_t r = ::lseek(f.fd, static_cast<off_t>(pos), SEEK_SET);
    if (r < 0) f.error = errno;
    return r;
}

int64_t os_file_seek_end(os_file& f) {
    off_t r = ::lseek(f.fd, 0, SEEK_END);
    if (r < 0) f.error = errno;
    return r;
}

int64_t os_file_tell(os_file& f) {
    off_t r = ::lseek(f.fd, 0, SEEK_CUR);
    if (r < 0) f.error = errno;
    return r;
}

int os_file_error(const os_file& f) { return f.error; }
void os_file_clear_error(os_file& f) { f.error = 0; }

bool os_file_identity(const os_file& f, file_identity* out) {
    struct stat st {};
    if (::fstat(f.fd, &st) != 0) return false;
    *out = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    return true;
}

path_info os_path_info(const std::string& path) {
    path_info info;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        info.error = errno;
        return info;
    }
    info.kind = S_ISREG(st.st_mode) ? path_kind::file : S_ISDIR(st.st_mode) ? path_kind::directory : path_kind::other;
    info.size = st.st_size;
    info.identity = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    return info;
}

int os_list_dir(const std::string& dir, size_t max, std::vector<dir_entry>& out) {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return errno;
    while (out.size() < max) {
        errno = 0;
        struct dirent* e = ::readdir(d);
        if (!e) break;
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        bool is_dir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st {};
            std::string full = dir + (dir.empty() || dir.back() == '/' ? "" : "/") + name;
            is_dir = ::lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        out.push_back({std::move(name), is_dir});
    }
    ::closedir(d);
    return 0;
}

}  // namespace zp
