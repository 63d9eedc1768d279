#include "ZipArchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <unzip.h>

#include "Paths.h"
#include "Text.h"
#include "ZipEntryDecoder.h"

namespace RYL {

namespace {

constexpr size_t kReadBufferSize = 512 * 1024;  // extracted data, one write each (two blocks)
constexpr size_t kRawBufferSize = 512 * 1024;   // entry data from the archive, one read each (two ahead)
constexpr size_t kReadAheadSize = 64 * 1024;    // archive bytes around the engine's small reads

bool PathExists(const std::wstring& path)
{
    struct stat st;
    return lstat(plat::NativePath(path).c_str(), &st) == 0;
}

// Creates the missing directories of base + path; failures show later as a failed file creation.
void MakeDirs(const std::wstring* base, const std::wstring& path)
{
    if (base) {
        std::wstring top = *base;
        if (!top.empty() && IsPathSeparator(top.back())) top.pop_back();
        if (!top.empty() && !PathExists(top)) mkdir(plat::NativePath(top).c_str(), 0755);
    }
    if (path.empty()) return;
    size_t sep = path.find_last_of(L"/\\");
    if (sep != std::wstring::npos && sep != 0) MakeDirs(base, path.substr(0, sep));
    std::wstring full = base ? *base + path : path;
    if (!PathExists(full)) mkdir(plat::NativePath(full).c_str(), 0755);
}

// Current position of a file descriptor, or -1 when it cannot seek.
int64_t GetFilePosition(int fd)
{
    off_t pos = lseek(fd, 0, SEEK_CUR);
    return pos < 0 ? -1 : int64_t(pos);
}

// Writes blocks to a file on a thread of its own, and adds them to their CRC-32, so that the next
// block is decoded meanwhile.
class BlockWriter {
public:
    BlockWriter(int fd, InflateEngine engine) : fd_(fd), engine_(engine), thread_([this] { Run(); }) {}
    ~BlockWriter() { Finish(); }
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;

    // Hands a block over once the one before it is written; the caller leaves it alone until
    // the next Submit or Finish returns. False when a write failed.
    bool Submit(const unsigned char* data, size_t size)
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !pending_; });
        if (failed_) return false;
        pending_ = data;
        size_ = size;
        changed_.notify_all();
        return true;
    }
    // Waits for the last block; false when a write failed.
    bool Finish()
    {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return !pending_; });
            stop_ = true;
            changed_.notify_all();
        }
        if (thread_.joinable()) thread_.join();
        return !failed_;
    }
    // The CRC-32 of the blocks written, once Finish has returned.
    uint32_t Crc() const { return crc_; }

private:
    void Run()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return pending_ || stop_; });
            if (!pending_) return;
            const unsigned char* data = pending_;
            size_t size = size_;
            lock.unlock();
            bool ok = plat::WriteAll(fd_, data, size);
            crc_ = OutputCrc(engine_, crc_, data, size);
            lock.lock();
            failed_ = failed_ || !ok;
            pending_ = nullptr;
            changed_.notify_all();
        }
    }

    int fd_;
    InflateEngine engine_;
    uint32_t crc_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    const unsigned char* pending_ = nullptr;
    size_t size_ = 0;
    bool failed_ = false;
    bool stop_ = false;
    std::thread thread_;  // last: starts once the rest is set up
};

// Reads a range of a file ahead on a thread of its own: the next piece is read while the caller
// works on the one before.
class RangePrefetch {
public:
    RangePrefetch(int fd, uint64_t position, uint64_t length, size_t pieceSize)
        : fd_(fd), position_(position), left_(length), spare_(pieceSize), thread_([this] { Run(); })
    {
    }
    ~RangePrefetch()
    {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    RangePrefetch(const RangePrefetch&) = delete;
    RangePrefetch& operator=(const RangePrefetch&) = delete;

    // Swaps the next piece into buffer (of the piece size): its length, 0 at the end of the
    // range, -1 when the file could not give it whole.
    int Take(std::vector<unsigned char>& buffer)
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return full_; });
        if (length_ <= 0) return length_;  // stays full: every later call gives the same
        std::swap(buffer, spare_);
        full_ = false;
        int length = length_;
        lock.unlock();
        changed_.notify_all();
        return length;
    }

private:
    void Run()
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return !full_ || stop_; });
            if (stop_) return;
            size_t want = size_t(std::min<uint64_t>(spare_.size(), left_));
            lock.unlock();
            bool whole = ReadWhole(spare_.data(), want);
            lock.lock();
            length_ = whole ? int(want) : -1;
            position_ += want;
            left_ -= want;
            full_ = true;
            changed_.notify_all();
            if (length_ <= 0) return;
        }
    }
    bool ReadWhole(unsigned char* out, size_t size)
    {
        for (size_t done = 0; done < size;) {
            ssize_t n = pread(fd_, out + done, size - done, off_t(position_ + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += size_t(n);
        }
        return true;
    }

    int fd_;
    uint64_t position_, left_;
    std::vector<unsigned char> spare_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool full_ = false;
    int length_ = 0;
    bool stop_ = false;
    std::thread thread_;  // last: starts once the rest is set up
};

void SetFileTimes(int fd, const ArchiveItem& item)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
    struct timespec ts[2];
    int64_t s;
    long ns;
    FileTimeToUnix(item.lastAccess, s, ns);
    ts[0].tv_sec = time_t(s);
    ts[0].tv_nsec = ns;
    FileTimeToUnix(item.lastWrite, s, ns);
    ts[1].tv_sec = time_t(s);
    ts[1].tv_nsec = ns;
    futimens(fd, ts);
}

// Creates (or replaces) a target file. An existing read-only file is refused, as it would be for
// a user without the right to replace it.
int CreateTargetFile(const std::wstring& path, uint32_t attributes)
{
    std::string native = plat::NativePath(path);
    struct stat st;
    if (lstat(native.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0)
        return -1;
    mode_t mode = ModeFromAttributes(attributes & ~FILE_ATTR_DIRECTORY);
    int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) fchmod(fd, mode);
    return fd;
}

}  // namespace

// The engine's byte source: an open file descriptor or a memory block. A descriptor that can
// seek is read at positions of the stream's own (its file offset stays where it was) through a
// read-ahead block, so that the engine's reads of a few bytes each cost no system call.
class ArchiveStream {
public:
    static ArchiveStream* Open(const void* source, uint64_t length, int kind, ArchiveResult& result);
    size_t Read(void* buffer, size_t size, size_t count);
    long Seek(uint64_t offset, int origin);
    uint64_t Tell();
    bool HasError() const { return isHandle_ && error_; }
    // A descriptor that can be read at positions, and the file offset of stream position 0.
    bool PositionalHandle(int& fd, uint64_t& base) const
    {
        fd = handle_;
        base = uint64_t(startOffset_);
        return isHandle_ && canSeek_;
    }
    static int Close(ArchiveStream* stream);

private:
    size_t ReadHandle(unsigned char* out, size_t want);
    ssize_t ReadFileAt(unsigned char* out, size_t size);

    bool isHandle_ = false;
    bool canSeek_ = false;
    int handle_ = -1;
    bool error_ = false;
    int64_t startOffset_ = 0;
    bool ownsHandle_ = false;
    const unsigned char* memory_ = nullptr;
    uint64_t length_ = 0;
    uint64_t position_ = 0;  // from the start of the block, or of the handle's part after startOffset_
    std::vector<unsigned char> ahead_;
    uint64_t aheadStart_ = 0;  // stream position of ahead_[0]
    size_t aheadLength_ = 0;
};

ArchiveStream* ArchiveStream::Open(const void* source, uint64_t length, int kind,
                                   ArchiveResult& result)
{
    auto stream = std::make_unique<ArchiveStream>();
    if (kind == ARC_KIND_HANDLE || kind == ARC_KIND_FILE_NAME) {
        if (!source) {
            result = ARC_BAD_ARGUMENT;
            return nullptr;
        }
        if (kind == ARC_KIND_HANDLE) {
            stream->handle_ = *static_cast<const int*>(source);
        } else {
            std::string path = plat::NativePath(static_cast<const wchar_t*>(source));
            stream->handle_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (stream->handle_ < 0) {
                result = ARC_CANNOT_OPEN;
                return nullptr;
            }
            stream->ownsHandle_ = true;
        }
        stream->isHandle_ = true;
        int64_t pos = GetFilePosition(stream->handle_);
        stream->canSeek_ = pos >= 0;
        stream->startOffset_ = pos >= 0 ? pos : 0;
        if (stream->canSeek_) stream->ahead_.resize(kReadAheadSize);
    } else if (kind == ARC_KIND_MEMORY) {
        if (!source && length) {
            result = ARC_BAD_ARGUMENT;
            return nullptr;
        }
        stream->memory_ = static_cast<const unsigned char*>(source);
        stream->length_ = length;
        stream->canSeek_ = true;
    } else {
        result = ARC_BAD_ARGUMENT;
        return nullptr;
    }
    result = ARC_OK;
    return stream.release();
}

size_t ArchiveStream::Read(void* buffer, size_t size, size_t count)
{
    if (size == 0) return 0;
    size_t want = size * count;
    if (!isHandle_) {
        uint64_t left = position_ < length_ ? length_ - position_ : 0;
        if (want > left) want = size_t(left);
        std::memcpy(buffer, memory_ + position_, want);
        position_ += want;
        return want / size;
    }
    return ReadHandle(static_cast<unsigned char*>(buffer), want) / size;
}

// One read at the stream position: what the file gives, 0 at its end, below 0 on failure.
ssize_t ArchiveStream::ReadFileAt(unsigned char* out, size_t size)
{
    for (;;) {
        ssize_t n = pread(handle_, out, size, off_t(startOffset_ + int64_t(position_)));
        if (n >= 0 || errno != EINTR) return n;
    }
}

size_t ArchiveStream::ReadHandle(unsigned char* out, size_t want)
{
    size_t done = 0;
    if (!canSeek_) {
        while (done < want) {
            ssize_t n = read(handle_, out + done, want - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) error_ = true;
            if (n <= 0) break;
            done += size_t(n);
        }
        return done;
    }
    while (done < want) {
        if (position_ >= aheadStart_ && position_ - aheadStart_ < aheadLength_) {
            size_t n = std::min(want - done, size_t(aheadStart_ + aheadLength_ - position_));
            std::memcpy(out + done, ahead_.data() + (position_ - aheadStart_), n);
            done += n;
            position_ += n;
            continue;
        }
        // Large reads go straight to the caller's memory; small ones fill the read-ahead block.
        const bool direct = want - done >= ahead_.size();
        ssize_t n = direct ? ReadFileAt(out + done, want - done) : ReadFileAt(ahead_.data(), ahead_.size());
        if (n < 0) error_ = true;
        if (n <= 0) break;
        if (direct) {
            done += size_t(n);
            position_ += uint64_t(n);
        } else {
            aheadStart_ = position_;
            aheadLength_ = size_t(n);
        }
    }
    return done;
}

long ArchiveStream::Seek(uint64_t offset, int origin)
{
    if (isHandle_ && !canSeek_) return 29;
    uint64_t end = length_;
    if (isHandle_ && origin == ZLIB_FILEFUNC_SEEK_END) {
        struct stat st;
        if (fstat(handle_, &st) != 0) return 22;
        off_t size = S_ISREG(st.st_mode) ? st.st_size : lseek(handle_, 0, SEEK_END);
        if (size < startOffset_) return 22;
        end = uint64_t(size - startOffset_);
    }
    uint64_t base = origin == ZLIB_FILEFUNC_SEEK_SET   ? 0
                    : origin == ZLIB_FILEFUNC_SEEK_CUR ? position_
                    : origin == ZLIB_FILEFUNC_SEEK_END ? end
                                                       : UINT64_MAX;
    if (base == UINT64_MAX) return 19;
    uint64_t target = base + offset;  // offsets below 0 arrive as their two's complement
    if (isHandle_ ? target > uint64_t(INT64_MAX - startOffset_) : target > length_) return 22;
    position_ = target;
    return 0;
}

uint64_t ArchiveStream::Tell()
{
    if (isHandle_ && !canSeek_) return 0;
    return position_;
}

int ArchiveStream::Close(ArchiveStream* stream)
{
    if (!stream) return -1;
    if (stream->ownsHandle_) close(stream->handle_);
    delete stream;
    return 0;
}

namespace {

voidpf ZCALLBACK StreamOpen(voidpf, const void* stream, int) { return const_cast<void*>(stream); }
uLong ZCALLBACK StreamRead(voidpf, voidpf stream, void* buf, uLong size)
{
    return uLong(static_cast<ArchiveStream*>(stream)->Read(buf, 1, size));
}
uLong ZCALLBACK StreamWrite(voidpf, voidpf, const void*, uLong) { return 0; }
ZPOS64_T ZCALLBACK StreamTell(voidpf, voidpf stream)
{
    return static_cast<ArchiveStream*>(stream)->Tell();
}
long ZCALLBACK StreamSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin)
{
    return static_cast<ArchiveStream*>(stream)->Seek(offset, origin);
}
int ZCALLBACK StreamClose(voidpf, voidpf stream)
{
    return ArchiveStream::Close(static_cast<ArchiveStream*>(stream));
}
int ZCALLBACK StreamError(voidpf, voidpf stream)
{
    return static_cast<ArchiveStream*>(stream)->HasError() ? 1 : 0;
}

}  // namespace

// One open archive. The engine walks the central directory and describes the entries; the
// entry data is read here, through the same stream, since the engine cannot locate data beyond
// 4 GiB (it ignores zip64 fields of the central directory on 64-bit Linux).
class ArchiveReader {
public:
    explicit ArchiveReader(const char* password);
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    ArchiveResult Open(const void* source, uint64_t length, int sourceKind);
    ArchiveResult Close();
    ArchiveResult SetBaseDir(const wchar_t* dir);
    ArchiveResult GetItem(int index, ArchiveItem* item);
    ArchiveResult Extract(int index, const void* target, uint64_t length, int targetKind);

private:
    struct CentralEntry {
        unz_file_info64 info;
        char name[kArchiveNameUnits];
        std::vector<unsigned char> extra;
    };
    struct EntryData {
        EntryFormat format;
        uint64_t dataOffset = 0;
        std::vector<unsigned char> localExtra;
    };

    bool MoveTo(int index);
    bool ClaimName(const std::wstring& name, int index, bool directory);
    bool ReadAt(uint64_t position, void* buffer, size_t size);
    ArchiveResult ReadCentral(CentralEntry& entry);
    ArchiveResult LocateData(const CentralEntry& entry, EntryData& data);
    // The central record of an entry and where its data lies.
    ArchiveResult ReadEntry(int index, CentralEntry& entry, EntryData& data);
    void CloseEntry();
    ArchiveResult OpenEntry(int index);
    ArchiveResult ExtractToFile(int index, const void* target, int targetKind);

    bool open_ = false;
    unzFile engine_ = nullptr;
    ArchiveStream* stream_ = nullptr;  // closed by the engine, or here when there is none
    int openEntry_ = -1;
    ArchiveItem cachedItem_;
    int cachedIndex_ = -1;
    struct NameClaim {
        int index;
        bool directory;
    };
    std::map<std::wstring, NameClaim> names_;  // extraction names handed out and their parents (no trailing '/')
    std::string password_;
    bool hasPassword_;
    std::vector<unsigned char> readBuffer_;
    std::vector<unsigned char> rawBuffer_;
    std::wstring baseDir_;
    int64_t entryCount_ = 0;
    int64_t engineEntry_ = -1;  // the engine's current entry, -1 unknown
    uint64_t rawPosition_ = 0, rawLeft_ = 0;
    std::unique_ptr<RangePrefetch> prefetch_;  // the open entry's raw data, when larger than one read
    std::unique_ptr<EntryDecoder> decoder_;
};

ArchiveReader::ArchiveReader(const char* password)
    : password_(password ? password : ""), hasPassword_(password != nullptr)
{
}

ArchiveReader::~ArchiveReader()
{
    Close();
}

ArchiveResult ArchiveReader::Open(const void* source, uint64_t length, int sourceKind)
{
    if (open_ || openEntry_ != -1) return ARC_ALREADY_OPEN;
    std::vector<char> cwd(4096);
    if (getcwd(cwd.data(), cwd.size())) {
        baseDir_ = plat::WideFromNarrow(cwd.data());
        if (baseDir_.empty() || !IsPathSeparator(baseDir_.back())) baseDir_ += L'/';
    }
    if (sourceKind == ARC_KIND_HANDLE) {
        if (!source) return ARC_BAD_ARGUMENT;
        if (GetFilePosition(*static_cast<const int*>(source)) < 0) return ARC_CANNOT_SEEK;
    }
    ArchiveResult result;
    stream_ = ArchiveStream::Open(source, length, sourceKind, result);
    if (!stream_) return result;
    zlib_filefunc64_def funcs{StreamOpen, StreamRead, StreamWrite, StreamTell,
                              StreamSeek, StreamClose, StreamError, nullptr};
    engine_ = unzOpen2_64(stream_, &funcs);  // the engine closes the stream, also on failure
    if (!engine_) {
        // The engine refuses an archive without entries; take that one here.
        stream_ = ArchiveStream::Open(source, length, sourceKind, result);
        if (!stream_) return ARC_CANNOT_OPEN;
        std::vector<unsigned char> end(22 + 65535);
        uint64_t size = stream_->Seek(0, ZLIB_FILEFUNC_SEEK_END) == 0 ? stream_->Tell() : 0;
        size_t got = size && stream_->Seek(0, ZLIB_FILEFUNC_SEEK_SET) == 0
                         ? stream_->Read(end.data(), 1, size_t(std::min<uint64_t>(size, end.size())))
                         : 0;
        if (!IsEmptyArchive(end.data(), got, size)) {
            ArchiveStream::Close(stream_);
            stream_ = nullptr;
            return ARC_CANNOT_OPEN;
        }
        entryCount_ = 0;
        open_ = true;
        return ARC_OK;
    }
    unz_global_info64 info;
    if (unzGetGlobalInfo64(engine_, &info) != UNZ_OK || info.number_entry > INT32_MAX) {
        Close();
        return ARC_CANNOT_OPEN;
    }
    entryCount_ = int64_t(info.number_entry);
    engineEntry_ = entryCount_ > 0 ? 0 : -1;
    open_ = true;
    return ARC_OK;
}

ArchiveResult ArchiveReader::Close()
{
    CloseEntry();
    if (engine_) unzClose(engine_);
    else if (stream_) ArchiveStream::Close(stream_);
    engine_ = nullptr;
    stream_ = nullptr;
    open_ = false;
    return ARC_OK;
}

ArchiveResult ArchiveReader::SetBaseDir(const wchar_t* dir)
{
    if (!dir || !*dir) return ARC_BAD_ARGUMENT;
    baseDir_ = dir;
    if (!IsPathSeparator(baseDir_.back())) baseDir_ += L'/';
    return ARC_OK;
}

void ArchiveReader::CloseEntry()
{
    decoder_.reset();
    prefetch_.reset();
    openEntry_ = -1;
}

bool ArchiveReader::MoveTo(int index)
{
    if (!engine_) return false;
    if (engineEntry_ < 0 || index < engineEntry_) {
        engineEntry_ = -1;
        if (unzGoToFirstFile(engine_) != UNZ_OK) return false;
        engineEntry_ = 0;
    }
    while (engineEntry_ < index) {
        if (unzGoToNextFile(engine_) != UNZ_OK) {
            engineEntry_ = -1;
            return false;
        }
        ++engineEntry_;
    }
    return true;
}

bool ArchiveReader::ReadAt(uint64_t position, void* buffer, size_t size)
{
    return stream_->Seek(position, ZLIB_FILEFUNC_SEEK_SET) == 0 && stream_->Read(buffer, 1, size) == size;
}

// The engine's description of its current entry, with the name (260 bytes at most) and the
// central extra field.
ArchiveResult ArchiveReader::ReadCentral(CentralEntry& entry)
{
    if (unzGetCurrentFileInfo64(engine_, &entry.info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
        return ARC_BAD_ARCHIVE;
    entry.extra.resize(entry.info.size_file_extra);
    if (unzGetCurrentFileInfo64(engine_, &entry.info, entry.name, sizeof entry.name,
                                entry.extra.empty() ? nullptr : entry.extra.data(),
                                uLong(entry.extra.size()), nullptr, 0) != UNZ_OK)
        return ARC_BAD_ARCHIVE;
    return ARC_OK;
}

// Finds the entry's data: the central record's 32-bit fields (with their zip64 values) and the
// local header, which must agree with the central record.
ArchiveResult ArchiveReader::LocateData(const CentralEntry& entry, EntryData& data)
{
    unsigned char record[46];
    if (!ReadAt(unzGetOffset64(engine_), record, sizeof record)) return ARC_READ_ERROR;
    auto le32 = [](const unsigned char* p) {
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    };
    if (le32(record) != 0x02014B50u) return ARC_BAD_ARCHIVE;  // also: data before the archive
    EntryLocation location;
    location.compressedSize = le32(record + 20);
    location.uncompressedSize = le32(record + 24);
    location.localHeaderOffset = le32(record + 42);
    if (!ApplyZip64Extra(entry.extra.data(), entry.extra.size(), location)) return ARC_BAD_ARCHIVE;

    const unz_file_info64& info = entry.info;
    LocalHeaderCheck central;
    central.flags = unsigned(info.flag);
    central.method = unsigned(info.compression_method);
    central.crc = uint32_t(info.crc);
    central.compressedSize = location.compressedSize;
    central.uncompressedSize = location.uncompressedSize;
    central.nameLength = info.size_filename;
    unsigned char header[kLocalHeaderSize];
    size_t nameLength, extraLength;
    if (!ReadAt(location.localHeaderOffset, header, sizeof header)) return ARC_READ_ERROR;
    if (!CheckLocalHeader(header, central, nameLength, extraLength)) return ARC_BAD_ARCHIVE;
    data.localExtra.resize(extraLength);
    uint64_t extraAt = location.localHeaderOffset + kLocalHeaderSize + nameLength;
    if (extraLength && !ReadAt(extraAt, data.localExtra.data(), extraLength)) return ARC_READ_ERROR;

    data.dataOffset = extraAt + extraLength;
    data.format.method = int(info.compression_method);
    data.format.encrypted = (info.flag & 1) != 0;
    data.format.checkByte = EncryptionCheckByte(unsigned(info.flag), uint32_t(info.crc), uint32_t(info.dosDate));
    data.format.crc = uint32_t(info.crc);
    data.format.compressedSize = location.compressedSize;
    data.format.uncompressedSize = location.uncompressedSize;
    return ARC_OK;
}

// Two entries never land on one file: the later one is refused. Directories may repeat, and an
// entry's parents count as directories.
bool ArchiveReader::ClaimName(const std::wstring& name, int index, bool directory)
{
    auto taken = [&](const std::wstring& n, bool asDirectory) {
        auto it = names_.find(n);
        return it != names_.end() && it->second.index != index && !(asDirectory && it->second.directory);
    };
    for (size_t sep = name.find(L'/'); sep != std::wstring::npos; sep = name.find(L'/', sep + 1)) {
        if (taken(name.substr(0, sep), true)) return false;
    }
    if (taken(name, directory)) return false;
    for (size_t sep = name.find(L'/'); sep != std::wstring::npos; sep = name.find(L'/', sep + 1))
        names_.try_emplace(name.substr(0, sep), NameClaim{index, true});
    names_.try_emplace(name, NameClaim{index, directory});
    return true;
}

ArchiveResult ArchiveReader::GetItem(int index, ArchiveItem* item)
{
    if (!item || index < -1 || index >= entryCount_) return ARC_BAD_ARGUMENT;
    CloseEntry();
    if (index == -1) {
        *item = ArchiveItem{};
        item->index = int32_t(entryCount_);
        return ARC_OK;
    }
    if (index == cachedIndex_) {
        *item = cachedItem_;
        return ARC_OK;
    }
    CentralEntry entry;
    EntryData data;
    if (ArchiveResult r = ReadEntry(index, entry, data); r != ARC_OK) return r;

    item->index = index;
    // A name that fills the buffer would come back cut: refuse the entry instead.
    std::wstring name;
    if (entry.info.size_filename >= sizeof entry.name ||
        !EntryExtractionName(entry.name, entry.info.size_filename, unsigned(entry.info.flag), entry.extra.data(),
                             entry.extra.size(), name) ||
        name.size() >= size_t(kArchiveNameUnits))
        return ARC_BAD_ARCHIVE;
    const uint32_t attributes = AttributesFromZip(uint32_t(entry.info.external_fa), int(entry.info.version >> 8));
    std::wstring key = name;
    const bool slash = !key.empty() && key.back() == L'/';
    if (slash) key.pop_back();
    const bool directory = slash || (attributes & FILE_ATTR_DIRECTORY);
    if (!ClaimName(key, index, directory)) return ARC_BAD_ARCHIVE;
    std::wmemcpy(item->name, name.c_str(), name.size() + 1);
    item->attributes = attributes;
    item->compressedSize = int64_t(data.format.compressedSize);
    item->uncompressedSize = int64_t(data.format.uncompressedSize);
    EntryTimes times;
    times.lastWrite = ZipDosTimeToFileTime(uint16_t(entry.info.dosDate >> 16), uint16_t(entry.info.dosDate));
    times.lastAccess = times.creation = times.lastWrite;
    ApplyExtendedTimestamp(data.localExtra.data(), data.localExtra.size(), times);
    item->lastAccess = times.lastAccess;
    item->creation = times.creation;
    item->lastWrite = times.lastWrite;

    cachedItem_ = *item;
    cachedIndex_ = index;
    return ARC_OK;
}

ArchiveResult ArchiveReader::ReadEntry(int index, CentralEntry& entry, EntryData& data)
{
    if (!MoveTo(index)) return ARC_BAD_ARCHIVE;
    ArchiveResult r = ReadCentral(entry);
    if (r == ARC_OK) r = LocateData(entry, data);
    return r;
}

// Puts a decoder over the raw data of an entry.
ArchiveResult ArchiveReader::OpenEntry(int index)
{
    CloseEntry();
    CentralEntry entry;
    EntryData data;
    if (ArchiveResult r = ReadEntry(index, entry, data); r != ARC_OK) return r;
    rawPosition_ = data.dataOffset;
    rawLeft_ = data.format.compressedSize;
    if (rawBuffer_.empty()) rawBuffer_.resize(kRawBufferSize);
    int fd;
    uint64_t base;
    if (rawLeft_ > kRawBufferSize && stream_->PositionalHandle(fd, base)) {
        try {
            prefetch_ = std::make_unique<RangePrefetch>(fd, base + rawPosition_, rawLeft_, kRawBufferSize);
        } catch (const std::system_error&) {
            // no thread: read in turn
        }
    }
    auto readRaw = [this](std::vector<unsigned char>& buffer) -> int {
        if (prefetch_) return prefetch_->Take(buffer);
        size_t n = size_t(std::min<uint64_t>(buffer.size(), rawLeft_));
        if (n == 0) return 0;
        if (!ReadAt(rawPosition_, buffer.data(), n)) return -1;
        rawPosition_ += n;
        rawLeft_ -= n;
        return int(n);
    };
    decoder_ = std::make_unique<EntryDecoder>(data.format, hasPassword_ ? password_.c_str() : nullptr,
                                              readRaw, rawBuffer_);
    openEntry_ = index;
    return ARC_OK;
}

ArchiveResult ArchiveReader::Extract(int index, const void* target, uint64_t length, int targetKind)
{
    if (targetKind == ARC_KIND_HANDLE || targetKind == ARC_KIND_FILE_NAME)
        return ExtractToFile(index, target, targetKind);
    if (targetKind != ARC_KIND_MEMORY || !target || length == 0) return ARC_BAD_ARGUMENT;

    if (index != openEntry_) {
        CloseEntry();
        if (index < 0 || index >= entryCount_) return ARC_BAD_ARGUMENT;
        ArchiveResult r = OpenEntry(index);
        if (r != ARC_OK) return r;
    }
    // The caller's block is the target here; the interface takes it as const like the others.
    auto* out = static_cast<unsigned char*>(const_cast<void*>(target));
    size_t got;
    EntryDecoder::Status status = decoder_->Read(out, size_t(length), got);
    if (status == EntryDecoder::kMoreData) return ARC_MORE_DATA;
    CloseEntry();
    if (status == EntryDecoder::kEnd) return ARC_OK;
    return status == EntryDecoder::kBadPassword ? ARC_BAD_PASSWORD : ARC_INFLATE_ERROR;
}

ArchiveResult ArchiveReader::ExtractToFile(int index, const void* target, int targetKind)
{
    CloseEntry();
    if (index < 0 || index >= entryCount_ || !target) return ARC_BAD_ARGUMENT;
    ArchiveItem item;
    ArchiveResult result = GetItem(index, &item);
    if (result != ARC_OK) return result;

    int fd = -1;
    if (targetKind == ARC_KIND_FILE_NAME) {
        std::wstring path = static_cast<const wchar_t*>(target);
        if (item.attributes & FILE_ATTR_DIRECTORY) {
            if (IsAbsoluteArchivePath(path)) MakeDirs(nullptr, path);
            else MakeDirs(&baseDir_, path);
            return ARC_OK;
        }
        size_t sep = path.find_last_of(L"/\\");
        std::wstring dirPart = sep == std::wstring::npos ? L"" : path.substr(0, sep + 1);
        std::wstring filePath;
        if (IsAbsoluteArchivePath(dirPart)) {
            filePath = path;
            MakeDirs(nullptr, dirPart);
        } else {
            filePath = baseDir_ + path;
            MakeDirs(&baseDir_, dirPart);
        }
        fd = CreateTargetFile(filePath, item.attributes);
    } else {
        if (item.attributes & FILE_ATTR_DIRECTORY) return ARC_OK;
        fd = *static_cast<const int*>(target);
        if (fd >= 0 && fcntl(fd, F_GETFD) < 0) fd = -1;
    }
    if (fd < 0) return ARC_CANNOT_OPEN;

    result = OpenEntry(index);
    if (result == ARC_OK) {
        // An entry of more than one block is written, and its CRC-32 computed, while the next
        // block is decoded.
        std::optional<BlockWriter> writer;
        if (uint64_t(item.uncompressedSize) > kReadBufferSize) {
            writer.emplace(fd, decoder_->Engine());
            decoder_->LeaveCrcToCaller();
        }
        readBuffer_.resize(writer ? 2 * kReadBufferSize : std::max(readBuffer_.size(), kReadBufferSize));
        for (int block = 0;; block ^= writer ? 1 : 0) {
            unsigned char* data = readBuffer_.data() + size_t(block) * kReadBufferSize;
            size_t got;
            EntryDecoder::Status status = decoder_->Read(data, kReadBufferSize, got);
            if (status == EntryDecoder::kBadPassword) {
                result = ARC_BAD_PASSWORD;
                break;
            }
            if (status == EntryDecoder::kError) {
                result = ARC_INFLATE_ERROR;
                break;
            }
            if (got > 0 && !(writer ? writer->Submit(data, got) : plat::WriteAll(fd, data, got))) {
                result = ARC_WRITE_ERROR;
                break;
            }
            if (status == EntryDecoder::kEnd) break;
        }
        if (writer && !writer->Finish() && result == ARC_OK) result = ARC_WRITE_ERROR;
        if (writer && result == ARC_OK && !decoder_->MatchesCrc(writer->Crc())) result = ARC_INFLATE_ERROR;
    }
    CloseEntry();
    if (result == ARC_OK) SetFileTimes(fd, item);
    if (targetKind == ARC_KIND_FILE_NAME) close(fd);
    return result;
}

// --- free functions ---

namespace {

ArchiveResult CheckHandle(const ArchiveHandle* handle)
{
    if (!handle) return ARC_BAD_ARGUMENT;
    if (handle->kind != 1 || !handle->reader) return ARC_WRONG_HANDLE;
    return ARC_OK;
}

}  // namespace

ArchiveHandle* OpenArchive(const wchar_t* zipPath, const char* password)
{
    return OpenArchiveFrom(zipPath, 0, ARC_KIND_FILE_NAME, password);
}

ArchiveHandle* OpenArchiveFrom(const void* source, uint64_t length, int sourceKind,
                               const char* password)
{
    auto reader = std::make_unique<ArchiveReader>(password);
    if (reader->Open(source, length, sourceKind) != ARC_OK) return nullptr;
    return new ArchiveHandle{1, reader.release()};
}

ArchiveResult SetExtractDir(ArchiveHandle* handle, const wchar_t* dir)
{
    ArchiveResult r = CheckHandle(handle);
    return r != ARC_OK ? r : handle->reader->SetBaseDir(dir);
}

ArchiveResult GetArchiveItem(ArchiveHandle* handle, int index, ArchiveItem* item)
{
    ArchiveResult r = CheckHandle(handle);
    if (r != ARC_OK) return r;
    if (!item) return ARC_BAD_ARGUMENT;
    item->index = 0;
    item->name[0] = 0;
    item->uncompressedSize = 0;
    return handle->reader->GetItem(index, item);
}

ArchiveResult ExtractItem(ArchiveHandle* handle, int index, const wchar_t* targetPath)
{
    return ExtractItemTo(handle, index, targetPath, 0, ARC_KIND_FILE_NAME);
}

ArchiveResult ExtractItemTo(ArchiveHandle* handle, int index, const void* target, uint64_t length,
                            int targetKind)
{
    ArchiveResult r = CheckHandle(handle);
    return r != ARC_OK ? r : handle->reader->Extract(index, target, length, targetKind);
}

ArchiveResult CloseArchive(ArchiveHandle* handle)
{
    ArchiveResult r = CheckHandle(handle);
    if (r != ARC_OK) return r;
    r = handle->reader->Close();
    delete handle->reader;
    delete handle;
    return r;
}

}  // namespace RYL
