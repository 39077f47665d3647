// An open table set as the Python package holds it: the tool's catalog
// (lock and change) and the definitions of the tables read from it. The
// extension module's units share it.
#pragma once

#include <pybind11/pybind11.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Core/Orvex/__table.h"
#include "host/rollback_journal.h"
#include "tools/catalog.h"
#include "tools/table_rules.h"
#include "tools/table_view.h"

namespace PythonBinding {

namespace py = pybind11;

// What the file system refused, with its errno: OSError in Python.
class FileSystemError : public std::runtime_error {
public:
    FileSystemError(int error, const std::string& message) : std::runtime_error(message), m_error(error) {}
    int error() const { return m_error; }

private:
    int m_error;
};

// Files that break the rules the library writes them by, as `orvex check`
// lists them: orvex.Damaged in Python.
class DamagedError : public std::runtime_error {
public:
    explicit DamagedError(const std::string& message) : std::runtime_error(message) {}
};

// The lock's refusal, word for word (host/set_lock.cpp).
inline std::string inUseText(const std::string& directory) {
    return "table set " + directory + " is in use by another process";
}

using Deadline = std::chrono::steady_clock::time_point;

// Within one process the host's lock is a single descriptor per directory,
// shared by every set the process opens there (host/set_lock.h), so it can't
// keep two of those sets apart. Each open set of this package claims its
// directory as another process would lock it: a writer alone, readers
// together; a claim that can't be had by the deadline is refused as the lock
// refuses.
class DirectoryClaim {
public:
    DirectoryClaim(const std::string& directory, const struct stat& where, bool write, Deadline deadline)
        : m_key(where.st_dev, where.st_ino), m_write(write), m_owner(::getpid()) {
        Claims& claims = Claims::process();
        // The set waited for may be closed by another thread, which needs
        // the GIL to do it.
        py::gil_scoped_release released;
        std::unique_lock<std::mutex> lock(claims.mutex);
        claims.forgetParent();
        const auto free = [&] {
            const Holders& held = claims.held[m_key];
            return !held.writer && (!write || held.readers == 0);
        };
        if (!claims.changed.wait_until(lock, deadline, free)) throw std::runtime_error(inUseText(directory));
        Holders& held = claims.held[m_key];
        if (write)
            held.writer = true;
        else
            ++held.readers;
    }
    ~DirectoryClaim() {
        Claims& claims = Claims::process();
        {
            std::lock_guard<std::mutex> lock(claims.mutex);
            if (m_owner != ::getpid()) return;  // a forked child's copy of its parent's claim
            Holders& held = claims.held[m_key];
            if (m_write)
                held.writer = false;
            else
                --held.readers;
        }
        claims.changed.notify_all();
    }
    DirectoryClaim(const DirectoryClaim&) = delete;
    DirectoryClaim& operator=(const DirectoryClaim&) = delete;

private:
    typedef std::pair<dev_t, ino_t> Key;  // two spellings of one directory are one
    struct Holders {
        int readers = 0;
        bool writer = false;
    };
    struct Claims {
        std::mutex mutex;
        std::condition_variable changed;
        std::map<Key, Holders> held;
        pid_t owner = ::getpid();
        // A forked child holds nothing its parent held.
        void forgetParent() {
            if (owner == ::getpid()) return;
            held.clear();
            owner = ::getpid();
        }
        static Claims& process() {
            static Claims* claims = new Claims;  // never destroyed: sets may close at exit
            return *claims;
        }
    };

    Key m_key;
    bool m_write;
    pid_t m_owner;
};

// The lines `orvex check` prints for a damaged table.
inline std::string damageText(const std::string& table, const std::vector<std::string>& problems) {
    std::string text = table + ": " + std::to_string(problems.size()) +
                       (problems.size() == 1 ? " problem" : " problems");
    for (const std::string& problem : problems) text += "\n  " + problem;
    return text;
}

// An open set. Tables hold it by shared pointer, so a table kept past the
// `with` block still has its file set; once closed they refuse to read.
class Set {
public:
    Set(const std::string& directory, bool write, double wait, bool sync) {
        const Deadline deadline = std::chrono::steady_clock::now() +
                                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                      std::chrono::duration<double>(std::min(std::max(wait, 0.0), 1e9)));
        struct stat where;
        if (::stat(directory.c_str(), &where) != 0)
            throw FileSystemError(errno, errno == ENOENT ? "no such directory: " + directory
                                                         : directory + ": " + std::strerror(errno));
        if (!S_ISDIR(where.st_mode)) throw FileSystemError(ENOTDIR, "Not a directory: " + directory);
        // The library would see no tables in a directory it may not read,
        // and learn only at the commit that it may not write there.
        if (::access(directory.c_str(), write ? R_OK | W_OK | X_OK : R_OK | X_OK) != 0)
            throw FileSystemError(errno, directory + ": " + std::strerror(errno));
        m_claim.reset(new DirectoryClaim(directory, where, write, deadline));
        try {
            py::gil_scoped_release released;  // the lock may take a while
            // The catalog reads its lock wait and syncing from the tool's
            // options, which every set of the process shares.
            static std::mutex options;
            std::lock_guard<std::mutex> guard(options);
            const std::chrono::duration<double> left = deadline - std::chrono::steady_clock::now();
            Tool::setOptions().waitSeconds = std::max(left.count(), 0.0);
            Tool::setOptions().sync = sync;
            m_catalog.reset(new Tool::Catalog(directory, write ? Tool::Access::write : Tool::Access::read));
        } catch (const std::runtime_error& error) {
            refused(directory, error);
        }
    }
    ~Set() { close(); }
    Set(const Set&) = delete;
    Set& operator=(const Set&) = delete;

    Tool::Catalog& catalog() {
        awaitScan();
        if (!m_catalog) throw std::runtime_error("the table set is closed");
        return *m_catalog;
    }

    // A scan has the set to itself while it lives, so that it can run
    // without the GIL: anything else that reaches for the set (through
    // catalog() or close(), in any thread) waits until it ends. Begun with
    // the GIL held; the scan must not reach for the set through them itself.
    class Scan {
    public:
        explicit Scan(Set& set) : m_set(set) {
            set.awaitScan();
            std::lock_guard<std::mutex> lock(set.m_scanMutex);
            set.m_scanning = true;
        }
        ~Scan() {
            {
                std::lock_guard<std::mutex> lock(m_set.m_scanMutex);
                m_set.m_scanning = false;
            }
            m_set.m_scanEnded.notify_all();
        }
        Scan(const Scan&) = delete;
        Scan& operator=(const Scan&) = delete;

    private:
        Set& m_set;
    };

    bool closed() const { return !m_catalog; }
    bool writable() const { return m_catalog && m_catalog->writable(); }

    std::vector<std::string> tables() {
        std::vector<std::string> names;
        for (const Tool::TableEntry& entry : catalog().tables()) names.push_back(entry.name);
        return names;
    }

    void commit() { catalog().commit(); }
    // Without a commit first this rolls the change back: the file set undoes
    // an open change when it goes, and releases the lock.
    void close() {
        awaitScan();
        m_tables.clear();
        m_catalog.reset();
        m_claim.reset();
    }

    // The definition of `name`, read once per set: the set owns it, so that
    // it goes before the file set it refers to whatever Python keeps.
    Orvex::TTable& table(const std::string& name) {
        Tool::Catalog& open = catalog();
        auto found = m_tables.find(name);
        if (found == m_tables.end()) {
            const Tool::TableEntry* entry = nullptr;
            try {
                entry = &open.entry(name);
            } catch (const std::exception& error) {
                throw py::key_error(error.what());
            }
            requireSound(open, *entry);
            found = m_tables.emplace(name, Tool::defineTable(open, name)).first;
        }
        return *found->second;
    }
    // Creating and stripping change what the tables are: their definitions
    // are read again when next asked for.
    void forgetDefinitions() {
        awaitScan();
        m_tables.clear();
    }

private:
    // Why the catalog could not open, as the error a Python program expects:
    // a journal no command will apply is damage, as check reports it; the
    // lock's refusal (orvex.Busy) and the rest stay as they are.
    [[noreturn]] static void refused(const std::string& directory, const std::runtime_error& error) {
        const std::string what = error.what();
        const std::string journal = Host::RollbackJournal::problem(directory);
        if (!journal.empty() && what.rfind(journal, 0) == 0) throw DamagedError(what);
        throw;
    }

    // Called with the GIL held; waits without it, since the scan may need
    // it to finish. A scan starts only with the GIL held, so none is on
    // once this returns, until the caller lets the GIL go.
    void awaitScan() {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(m_scanMutex);
                if (!m_scanning) return;
            }
            py::gil_scoped_release released;
            std::unique_lock<std::mutex> lock(m_scanMutex);  // let go before the GIL is taken back
            m_scanEnded.wait(lock, [this] { return !m_scanning; });
        }
    }

    // Before the library reads a table: files this process may not read are
    // the file system's refusal, files that break the library's rules are
    // damage, listed as check lists them.
    static void requireSound(Tool::Catalog& catalog, const Tool::TableEntry& entry) {
        for (const std::string& file : Tool::Catalog::fileNames(entry)) {
            const std::string path = catalog.directory() + "/" + file;
            if (::access(path.c_str(), F_OK) == 0 && ::access(path.c_str(), R_OK) != 0)
                throw FileSystemError(errno, file + ": " + std::strerror(errno));
        }
        const std::vector<std::string> problems = Tool::tableFileProblems(catalog.files(), entry);
        if (!problems.empty()) throw DamagedError(damageText(entry.name, problems));
    }

    std::unique_ptr<DirectoryClaim> m_claim;  // first in, last out: held while the catalog is
    std::map<std::string, pointer<Orvex::TTable> > m_tables;  // close() lets them go before the catalog
    std::unique_ptr<Tool::Catalog> m_catalog;
    std::mutex m_scanMutex;
    std::condition_variable m_scanEnded;
    bool m_scanning = false;  // a Scan is on
};

}  // namespace PythonBinding
