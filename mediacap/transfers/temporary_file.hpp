#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "mediacap/transfers/free_space.hpp"

namespace mediacap {

// The longest file name (one path component) that is put in place, in bytes.
inline constexpr std::size_t longest_file_name = 255;

// The most bytes one write(2) is asked for: a long write is made of several,
// each of which shows that bytes reach storage (see write_clock), and on a
// slow device none takes long.
inline constexpr std::size_t longest_write = std::size_t(128) << 10;

// When a write last moved bytes to storage (steady_clock ticks): what a
// watcher reads to tell storage that is slow from storage that hangs.
using write_clock = std::atomic<std::chrono::steady_clock::rep>;

// A body on its way to its final file, owned through one descriptor.
//
// The file is made in the folder of its final path, so that putting it in
// place never copies. Where the file system allows it the file has no name
// at all until publish (O_TMPFILE): a process that dies leaves nothing
// behind. Elsewhere it has a hidden name ("partial_prefix", the process id
// and a number), which remove_stale_partials clears after a crash.
//
// Every write is checked, and so is the close: after the first failure the
// file is failed for good and later writes do nothing. A failed or
// unpublished file is removed when the object goes.
//
// Used by one thread at a time; not copyable, movable.
class temporary_file {
public:
    // How the file is made. `unnamed_first` is the normal way; `named` is
    // what a file system without unnamed files gets, and lets tests see it.
    enum class naming { unnamed_first, named };

    // The result of publish.
    enum class outcome {
        published,    // the file is in place under the name given back
        write_failed, // a write, the free-space reserve or the close failed
        place_failed  // the data is complete but no name could be taken
    };

    // Opens the file in the folder of `final_path`. Never throws; a file that
    // could not be opened is failed from the start (good() is false).
    explicit temporary_file(const std::string& final_path, naming how = naming::unnamed_first);
    ~temporary_file();

    temporary_file(const temporary_file&) = delete;
    temporary_file& operator=(const temporary_file&) = delete;
    temporary_file(temporary_file&& other) noexcept;
    temporary_file& operator=(temporary_file&& other) noexcept;

    // Open and nothing has failed.
    bool good() const { return descriptor_ >= 0 && error_ == 0; }

    // Writes all `length` bytes. False when the file had already failed, when
    // the write fails, or when it would leave less than the reserve free.
    bool write(const char* data, std::size_t length);

    // Bytes written so far.
    std::uint64_t size() const { return size_; }

    // From now on each write(2) that moves bytes stamps `clock` with the time
    // (null: none). The clock must outlive the file.
    void stamp_writes(write_clock* clock) { clock_ = clock; }

    // Ends the file and puts it at the final path, or, when a file already
    // exists there, at the first free name that final_name_candidate gives
    // (never replacing anything). On `published`, `path` is the name really
    // written. The close is checked before the result says published.
    outcome publish(std::string& path);

    // Closes and removes the file now; it is failed from then on.
    void discard();

    // What went wrong, for messages: the system's text for the failure, or
    // "free-space reserve reached". Empty while good().
    std::string failure() const;

private:
    bool reserve_allows(std::size_t length, std::uint64_t& taken);
    void written(std::uint64_t length);
    void leave_account();
    void fail(int error);
    bool close_checked();

    int descriptor_ = -1;
    int error_ = 0;             // errno of the first failure; reserve_reached for the reserve
    std::string final_path_;
    std::string named_path_;    // the hidden name while there is one
    std::uint64_t size_ = 0;
    space_account* account_ = nullptr;  // of the file's file system while the file is open
    write_clock* clock_ = nullptr;
};

// The hidden names of partial files begin with this.
inline constexpr const char* partial_prefix = ".vendrax-partial-";

// Candidate `number` for a file meant for `path`: the path itself for 0,
// else "-number" inserted before the extension of its last component
// ("a/b.jpg" -> "a/b-2.jpg"), the component cut to longest_file_name bytes
// (the stem first, at a UTF-8 character boundary).
std::string final_name_candidate(const std::string& path, unsigned number);

// True when `folder`'s file system gives unnamed files, so no partial file
// with a name is ever left there.
bool gives_unnamed_files(const std::string& folder);

// Removes the hidden partial files in `folder` and in its sub-folders down to
// `depth` levels that were left by processes no longer running. Returns how
// many it removed.
unsigned remove_stale_partials(const std::string& folder, unsigned depth);

}  // namespace mediacap
