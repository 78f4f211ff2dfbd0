#include "Output.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

namespace stitcher {

std::string tempNameFor(const std::string& path, long pid) {
    size_t slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return folder + "." + base + "." + std::to_string(pid) + ".part";
}

namespace {

std::string folderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where the file that `path` names is kept aside while a commit replaces it.
std::string backupNameFor(const std::string& path, long pid) { return tempNameFor(path + ".old", pid); }

// The process that a temporary name ".<base>.<pid>.part" belongs to, when
// `name` is one for a base in `bases`; 0 otherwise.
long tempOwner(const std::string& name, const std::set<std::string>& bases) {
    const std::string suffix = ".part";
    if (name.size() < 1 + suffix.size() + 2 || name[0] != '.' ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return 0;
    std::string middle = name.substr(1, name.size() - 1 - suffix.size());  // <base>.<pid>
    size_t dot = middle.find_last_of('.');
    if (dot == std::string::npos || dot + 1 >= middle.size() || !bases.count(middle.substr(0, dot))) return 0;
    long pid = 0;
    for (size_t i = dot + 1; i < middle.size(); ++i) {
        if (middle[i] < '0' || middle[i] > '9' || pid > (1L << 40)) return 0;
        pid = pid * 10 + (middle[i] - '0');
    }
    return pid;
}

bool processGone(long pid) {
    if (pid == static_cast<long>(::getpid())) return true;  // an earlier process that had our number
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// Renames without replacing: fails with EEXIST when `to` exists.
int renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    // File systems without it: a new link fails on an existing name.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return 0;
    }
    if (errno == EEXIST) return -1;
    // Nor links: check, then rename (open to a race, as good as it gets there).
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(from.c_str(), to.c_str());
}

std::string realPath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

}  // namespace

std::string canonicalName(const std::string& path) {
    const std::string base = baseOf(path);
    if (base.empty() || base == "." || base == "..") return realPath(path);
    const std::string folder = realPath(folderOf(path));
    return folder == "/" ? "/" + base : folder + "/" + base;
}

Status checkDistinctNames(const std::vector<std::string>& outputs, const std::vector<std::string>& inputs,
                          const std::string& input, const std::vector<std::string>& shown) {
    auto named = [&](size_t i) { return i < shown.size() ? shown[i] : outputs[i]; };
    // Each file as the inode it is now; for an output, also as the entry
    // that the rename will replace (which need not exist yet).
    auto inode = [](const std::string& name, std::string& key) {
        struct stat st {};
        if (::stat(name.c_str(), &st) != 0) return false;
        key = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
        return true;
    };
    std::set<std::string> ins;
    for (const std::string& in : inputs) {
        std::string key;
        if (inode(in, key)) ins.insert(key);
    }
    std::map<std::string, std::string> folders;  // folder as given -> its real path
    std::map<std::string, size_t> seen;          // key -> the output that has it
    for (size_t i = 0; i < outputs.size(); ++i) {
        const std::string& name = outputs[i];
        std::string file;
        const bool exists = inode(name, file);
        if (exists && ins.count(file)) return Status(kExitUsage, named(i) + " is " + input + "; choose another output name");
        const std::string base = baseOf(name);
        std::string entry;
        if (base.empty() || base == "." || base == "..") {
            entry = realPath(name);
        } else {
            const std::string folder = folderOf(name);
            auto f = folders.find(folder);
            if (f == folders.end()) f = folders.emplace(folder, realPath(folder)).first;
            entry = "name " + (f->second == "/" ? "" : f->second) + "/" + base;
        }
        for (const std::string& key : {entry, exists ? "file " + file : std::string()}) {
            if (key.empty()) continue;
            auto at = seen.emplace(key, i);
            if (!at.second)
                return Status(kExitUsage, named(at.first->second) + " and " + named(i) +
                                              " are the same file; give each output a name of its own");
        }
    }
    return Status();
}

Output::Output(std::vector<std::string> finalNames, bool overwrite)
    : finals_(std::move(finalNames)), overwrite_(overwrite) {
    const long pid = static_cast<long>(::getpid());
    for (const auto& f : finals_) temps_.push_back(tempNameFor(f, pid));
}

Output::~Output() {
    if (!done_) abort();
}

Status Output::prepare(const std::string& input) {
    Status distinct = checkDistinctNames(finals_, {input});
    if (!distinct.ok()) return distinct;
    struct Folder {
        std::string firstName;        // the first final name in it
        std::set<std::string> bases;  // the final names' last parts
    };
    std::map<std::string, Folder> folders;
    for (size_t i = 0; i < finals_.size(); ++i) {
        const std::string& name = finals_[i];
        std::string folder = folderOf(name);
        if (!folders.count(folder)) {
            struct stat st;
            if (::stat(folder.c_str(), &st) != 0)
                return Status(kExitOutput, "cannot write " + name + ": folder " + folder + ": " + std::strerror(errno));
            if (!S_ISDIR(st.st_mode))
                return Status(kExitOutput, "cannot write " + name + ": " + folder + " is not a folder");
        }
        Folder& f = folders[folder];
        if (f.firstName.empty()) f.firstName = name;
        f.bases.insert(baseOf(name));
        f.bases.insert(baseOf(name) + ".old");  // what a commit keeps aside (backupNameFor)
        struct stat st;
        if (::lstat(name.c_str(), &st) != 0) continue;
        struct stat target {};
        if (::stat(name.c_str(), &target) == 0 && S_ISDIR(target.st_mode))
            return Status(kExitOutput, "cannot write " + name + ": it is a folder");
        if (!overwrite_) return Status(kExitOutput, name + " exists; use -y to overwrite it");
    }

    for (const auto& entry : folders) {
        const std::string& folder = entry.first;
        if (DIR* dir = ::opendir(folder.c_str())) {
            while (struct dirent* d = ::readdir(dir)) {
                long pid = tempOwner(d->d_name, entry.second.bases);
                if (pid <= 0 || !processGone(pid)) continue;
                std::string path = folder == "." ? d->d_name : folder + "/" + d->d_name;
                if (::unlink(path.c_str()) == 0) leftovers_.push_back(path);
            }
            ::closedir(dir);
        }
        // Can a file be made there at all?
        std::string probe = tempNameFor(entry.second.firstName, static_cast<long>(::getpid()));
        int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) return Status(kExitOutput, "cannot write " + entry.second.firstName + ": " + std::strerror(errno));
        ::close(fd);
        ::unlink(probe.c_str());
    }
    return Status();
}

Status Output::commit() {
    done_ = true;
    // Overwriting: each file that will be replaced is kept aside under a
    // second name (a hard link, which copies nothing) until the new ones are
    // all in place. Where no link can be made (a file system without them)
    // that file is replaced without one.
    const long pid = static_cast<long>(::getpid());
    std::vector<std::string> kept(finals_.size());
    std::vector<bool> existed(finals_.size(), false);
    if (overwrite_)
        for (size_t i = 0; i < finals_.size(); ++i) {
            struct stat st;
            if (::lstat(finals_[i].c_str(), &st) != 0) continue;
            existed[i] = true;
            const std::string aside = backupNameFor(finals_[i], pid);
            ::unlink(aside.c_str());
            if (::linkat(AT_FDCWD, finals_[i].c_str(), AT_FDCWD, aside.c_str(), 0) == 0) kept[i] = aside;
        }
    auto dropKept = [&] {
        for (const std::string& k : kept)
            if (!k.empty()) ::unlink(k.c_str());
    };
    for (size_t i = 0; i < finals_.size(); ++i) {
        const int rc = overwrite_ ? ::rename(temps_[i].c_str(), finals_[i].c_str())
                                  : renameNoReplace(temps_[i], finals_[i]);
        if (rc == 0) continue;
        const int err = errno;
        // Undo the names placed so far: put back what was there, remove what
        // this run made (without overwriting, none of them existed).
        size_t lost = 0;
        for (size_t k = 0; k < i; ++k) {
            if (!kept[k].empty()) {
                if (::rename(kept[k].c_str(), finals_[k].c_str()) == 0) kept[k].clear();
                else ++lost;
            } else if (existed[k]) {
                ++lost;
            } else {
                ::unlink(finals_[k].c_str());
            }
        }
        dropKept();
        for (size_t k = i; k < finals_.size(); ++k) ::unlink(temps_[k].c_str());
        if (err == EEXIST)
            return Status(kExitOutput, finals_[i] + " appeared while stitching and was kept; nothing was written "
                                                    "(use -y to overwrite it)");
        std::string what = "cannot write " + finals_[i] + ": " + std::strerror(err);
        if (lost)
            what += "; " + std::to_string(lost) + " of the " + std::to_string(finals_.size()) +
                    " files were already replaced and could not be put back, the others are as they were";
        else
            what += "; nothing was written";
        return Status(kExitOutput, what);
    }
    dropKept();
    return Status();
}

void Output::abort() {
    done_ = true;
    for (const auto& t : temps_) ::unlink(t.c_str());
}

}  // namespace stitcher
