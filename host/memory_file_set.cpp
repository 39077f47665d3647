#include "host/memory_file_set.h"

#include "support/Utils.h"

namespace Host {

std::streambuf* MemoryFileSet::open(const std::string& name, std::ios_base::openmode mode, int, int) {
    const OpenRequest request = readOpenMode(mode);
    if (!request.valid || !isPlainFileName(name)) return nullptr;
    if (request.write) keep(name);
    auto found = m_files.find(name);
    if (found == m_files.end()) {
        if (!request.create) return nullptr;
        found = m_files.emplace(name, std::make_shared<FileImage>()).first;
    } else if (request.empty) {
        found->second->assign(std::string());
    }
    auto buffer = std::make_unique<ImageBuffer>(found->second, request);
    std::streambuf* handle = buffer.get();
    m_buffers.emplace(handle, Open{std::move(buffer), request.write});
    return handle;
}

bool MemoryFileSet::isOpen(std::streambuf* buffer) { return m_buffers.count(buffer) != 0; }

void MemoryFileSet::close(std::streambuf* buffer) {
    auto found = m_buffers.find(buffer);
    if (found == m_buffers.end()) return;
    found->second.buffer->pubsync();
    m_buffers.erase(found);
}

bool MemoryFileSet::remove(const std::string& name) {
    keep(name);
    return m_files.erase(name) != 0;
}

bool MemoryFileSet::rename(const std::string& from, const std::string& to) {
    auto source = m_files.find(from);
    if (source == m_files.end() || from == to || !isPlainFileName(to)) return false;
    keep(from);
    keep(to);
    std::shared_ptr<FileImage> image = source->second;
    m_files.erase(source);
    m_files[to] = image;
    return true;
}

bool MemoryFileSet::exists(const std::string& name) const { return m_files.count(name) != 0; }

std::vector<std::string> MemoryFileSet::list() const {
    std::vector<std::string> names;
    for (const auto& file : m_files) names.push_back(file.first);
    return names;
}

std::string MemoryFileSet::contents(const std::string& name) const {
    auto found = m_files.find(name);
    if (found == m_files.end()) Utils::raise_runtime_error("No file " + name + " in the memory file set");
    return found->second->contents();
}

void MemoryFileSet::put(const std::string& name, const std::string& bytes) {
    if (!isPlainFileName(name)) Utils::raise_runtime_error("Refused file name: " + name);
    keep(name);
    auto& image = m_files[name];
    if (!image) image = std::make_shared<FileImage>();
    image->assign(bytes);
}

void MemoryFileSet::keep(const std::string& name) {
    if (m_depth == 0 || m_originals.count(name)) return;
    Original& original = m_originals[name];
    auto found = m_files.find(name);
    if (found == m_files.end()) return;
    original.image = found->second;
    original.bytes = found->second->contents();
}

void MemoryFileSet::beginChange() {
    if (m_depth++ > 0) return;
    // Buffers opened for writing before the change may write during it.
    for (const auto& open : m_buffers) {
        if (!open.second.writes) continue;
        for (const auto& file : m_files)
            if (file.second.get() == &open.second.buffer->image()) keep(file.first);
    }
}

int MemoryFileSet::endScope() {
    if (m_depth == 0) Utils::raise_logic_error("a change ended without beginChange");
    return --m_depth;
}

void MemoryFileSet::endChange() {
    if (endScope() == 0) m_originals.clear();
}

void MemoryFileSet::abandonChange() {
    if (endScope() > 0) return;
    for (auto& [name, original] : m_originals) {
        if (!original.image) {
            m_files.erase(name);
            continue;
        }
        original.image->assign(original.bytes);
        m_files[name] = original.image;
    }
    m_originals.clear();
}

}  // namespace Host
