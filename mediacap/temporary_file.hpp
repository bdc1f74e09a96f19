#pragma once

#include <fstream>
#include <string>

namespace mediacap {

// A file open for binary writing under a generated unique name, removed from
// disk when the object is destroyed unless it was moved away before.
//
// The constructor never throws: when no temporary directory can be found or
// no unique name can be made, `path` stays empty and `stream` is left failed,
// which the owner sees when it tests the stream.
class temporary_file {
public:
    // `directory` empty: the system temporary directory (TMPDIR, else /tmp).
    // The name is "tmp-" followed by four groups of four hexadecimal digits
    // joined by "-".
    explicit temporary_file(const std::string& directory);
    ~temporary_file();

    temporary_file(const temporary_file&) = delete;
    temporary_file& operator=(const temporary_file&) = delete;

    std::string path;
    std::ofstream stream;
};

// Moves the file `from` to `to`, replacing a file that exists there. A plain
// rename cannot cross file systems (the temporary directory is often a tmpfs
// of its own), so then the data is copied next to `to` and renamed into place,
// and `from` is removed. False when the file could not be put at `to`; a
// failed copy leaves nothing behind at `to`.
bool move_file(const std::string& from, const std::string& to);

}  // namespace mediacap
