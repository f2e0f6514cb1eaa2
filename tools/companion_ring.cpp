#include "companion_ring.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace ondara::tools {
namespace {

std::uint64_t ring_bytes(std::uint32_t channels, std::uint32_t capacity_frames) {
    return kRingHeaderSize + std::uint64_t{channels} * capacity_frames * sizeof(float);
}

#if !defined(_WIN32)
std::string os_message(const char* what, const std::string& object) {
    return std::string(what) + "(" + object + "): " + std::strerror(errno);
}
#endif

}  // namespace

std::string CompanionRing::check_name(const std::string& name) {
    if (name.empty()) return "the segment name is empty";
    if (name.size() > 200) return "the segment name is longer than 200 characters";
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '-';
        if (!ok) return "the segment name may hold only letters, digits, '.', '_' and '-'";
    }
    return {};
}

std::string CompanionRing::check_format(std::uint32_t sample_rate, std::uint32_t channels,
                                        std::uint32_t capacity_frames) {
    if (sample_rate == 0) return "the sample rate must not be 0";
    if (channels < 1 || channels > kMaxRingChannels) return "the channel count must be 1 to 6";
    if (capacity_frames == 0) return "the ring capacity must not be 0";
    if (std::uint64_t{channels} * capacity_frames > kMaxRingSamples) {
        return "the ring holds more than " + std::to_string(kMaxRingSamples) + " samples";
    }
    if (ring_bytes(channels, capacity_frames) > std::numeric_limits<std::size_t>::max()) {
        return "the ring does not fit in this process's address space";
    }
    return {};
}

std::unique_ptr<CompanionRing> CompanionRing::create(const std::string& name, std::uint32_t sample_rate,
                                                     std::uint32_t channels, std::uint32_t capacity_frames,
                                                     std::string& error) {
    error = check_name(name);
    if (error.empty()) error = check_format(sample_rate, channels, capacity_frames);
    if (!error.empty()) return nullptr;

    const std::uint64_t bytes = ring_bytes(channels, capacity_frames);
    std::unique_ptr<CompanionRing> ring(new CompanionRing);
    ring->name_ = name;
    ring->utf16_name_.assign(name.begin(), name.end());  // ASCII only, see check_name
    ring->channels_ = channels;
    ring->capacity_ = capacity_frames;
    ring->length_ = static_cast<std::size_t>(bytes);

#if defined(_WIN32)
    const std::wstring wide(name.begin(), name.end());
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(bytes >> 32),
                                  static_cast<DWORD>(bytes), wide.c_str());
    if (mapping == nullptr) {
        error = "CreateFileMappingW(" + name + ") failed with error " + std::to_string(GetLastError());
        return nullptr;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mapping);
        error = "a segment named " + name + " already exists";
        return nullptr;
    }
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, ring->length_);
    if (view == nullptr) {
        error = "MapViewOfFile(" + name + ") failed with error " + std::to_string(GetLastError());
        CloseHandle(mapping);
        return nullptr;
    }
    ring->mapping_ = mapping;
#else
    const std::string object = "/" + name;
    // O_EXCL: an object of this name that is already there is another companion's ring, and this one
    // removes its segment at the end; it must never take over and then delete someone else's.
    const int fd = ::shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = errno == EEXIST ? "a segment named " + name + " already exists" : os_message("shm_open", object);
        return nullptr;
    }
    void* view = MAP_FAILED;
    if (::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        error = os_message("ftruncate", object);
    } else {
        view = ::mmap(nullptr, ring->length_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (view == MAP_FAILED) error = os_message("mmap", object);
    }
    ::close(fd);  // the mapping keeps the object alive for this process
    if (view == MAP_FAILED) {
        ::shm_unlink(object.c_str());
        return nullptr;
    }
#endif
    ring->view_ = view;

    // A fresh segment reads as zeros, so the positions, the backlog and the reserved fields already
    // hold their initial values; only the format is written. No reader can have the ring open yet.
    RingHeader* h = ring->header();
    h->magic = kRingMagic;
    h->version = kRingVersion;
    h->sample_rate = sample_rate;
    h->channels = channels;
    h->capacity_frames = capacity_frames;
    return ring;
}

CompanionRing::~CompanionRing() {
    // A create that failed cleans up what it made itself; above all it must not remove the name,
    // which then belongs to whoever already had a segment by it.
    if (view_ == nullptr) return;
#if defined(_WIN32)
    // The mapping disappears with the last handle or view, the library's included.
    UnmapViewOfFile(view_);
    CloseHandle(static_cast<HANDLE>(mapping_));
#else
    ::munmap(view_, length_);
    const std::string object = "/" + name_;
    ::shm_unlink(object.c_str());
#endif
}

float* CompanionRing::data() const noexcept {
    return reinterpret_cast<float*>(static_cast<unsigned char*>(view_) + kRingHeaderSize);
}

std::uint64_t CompanionRing::write_pos() const noexcept {
    return std::atomic_ref<std::uint64_t>(header()->write_pos).load(std::memory_order_relaxed);
}

void CompanionRing::publish(std::uint64_t pos) noexcept {
    std::atomic_ref<std::uint64_t>(header()->write_pos).store(pos, std::memory_order_release);
}

void CompanionRing::append(const float* samples, std::uint64_t frames) noexcept {
    const std::uint64_t from = write_pos();
    std::uint64_t skip = 0;
    if (frames > capacity_) skip = frames - capacity_;  // would be overwritten within this call anyway
    const std::uint64_t first_frame = from + skip;
    const std::uint64_t count = frames - skip;
    const std::uint64_t slot = first_frame % capacity_;
    const std::uint64_t head = std::min(count, capacity_ - slot);
    const float* src = samples + skip * channels_;
    std::memcpy(data() + slot * channels_, src, head * channels_ * sizeof(float));
    if (count > head) std::memcpy(data(), src + head * channels_, (count - head) * channels_ * sizeof(float));
    publish(from + frames);
}

std::uint64_t CompanionRing::read_pos() const noexcept {
    return std::atomic_ref<std::uint64_t>(header()->read_pos).load(std::memory_order_acquire);
}

std::uint32_t CompanionRing::backlog_frames() const noexcept {
    return std::atomic_ref<std::uint32_t>(header()->backlog_frames).load(std::memory_order_relaxed);
}

}  // namespace ondara::tools
