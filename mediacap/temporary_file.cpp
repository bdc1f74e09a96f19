#include "mediacap/temporary_file.hpp"

#include <vector>

#include <boost/filesystem.hpp>
#include <boost/system/error_code.hpp>

namespace fs = boost::filesystem;

namespace mediacap {

namespace {

const char* const name_model = "tmp-%%%%-%%%%-%%%%-%%%%";

// boost::filesystem::copy_file of Boost 1.74 tries copy_file_range, which
// older kernels refuse between file systems (EXDEV) with no fallback, so the
// bytes are copied here.
bool copy_contents(const std::string& from, const std::string& to)
{
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    if (!in.is_open() || !out.is_open())
        return false;
    std::vector<char> buffer(64 * 1024);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        out.write(buffer.data(), in.gcount());
    }
    out.close();
    return in.eof() && !in.bad() && !out.fail();
}

}  // namespace

temporary_file::temporary_file(const std::string& directory)
{
    // Both library calls throw when the system has no temporary directory or
    // no random data; the owner then finds a failed stream instead.
    try {
        const fs::path folder = directory.empty() ? fs::temp_directory_path() : fs::path(directory);
        path = (folder / fs::unique_path(name_model)).string();
    } catch (const fs::filesystem_error&) {
        stream.setstate(std::ios::failbit);
        return;
    }
    stream.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
}

temporary_file::~temporary_file()
{
    if (stream.is_open())
        stream.close();
    if (!path.empty()) {
        boost::system::error_code ignored;
        fs::remove(path, ignored);
    }
}

bool move_file(const std::string& from, const std::string& to)
{
    boost::system::error_code error;
    fs::rename(from, to, error);
    if (!error)
        return true;
    if (error != boost::system::errc::cross_device_link)
        return false;

    // Copy beside the target first and rename that into place, so that a copy
    // cut short never leaves a partial file under the final name and an
    // existing file there is replaced in one step.
    fs::path beside;
    try {
        beside = fs::path(to).parent_path() / fs::unique_path(name_model);
    } catch (const fs::filesystem_error&) {
        return false;
    }
    bool copied = copy_contents(from, beside.string());
    if (copied) {
        fs::rename(beside, to, error);
        copied = !error;
    }
    if (!copied) {
        boost::system::error_code ignored;
        fs::remove(beside, ignored);
        return false;
    }
    fs::remove(from, error);
    return true;
}

}  // namespace mediacap
