#include "mediacap/transfers/download_job.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <type_traits>

#include <curl/curl.h>

#include "mediacap/http/request_key.hpp"
#include "mediacap/transfers/temporary_file.hpp"

namespace mediacap::http {

namespace {

// libcurl's global state is set up once while the program starts, before
// main and before any thread exists: curl_global_init is not thread-safe.
struct curl_global {
    curl_global()
    {
        curl_global_init(CURL_GLOBAL_ALL);
        std::atexit([] { curl_global_cleanup(); });
    }
};
const curl_global curl_global_instance;

// The user data of the write callback: the job and the file it fills.
struct write_target {
    download_job* job;
    temporary_file* file;
};

std::string write_failure(const temporary_file& file)
{
    return "Error writing file: " + file.failure();
}

// The body length that the last response head announced, read from its
// header lines as libcurl passes them on (CURLOPT_HEADERFUNCTION). libcurl
// frames the body by the last "Content-Length" alone, ignores one that does
// not fit in 64 bits or that stands beside a "Transfer-Encoding", and then
// ends the body at the close: the body can end short of a length the server
// announced and still count as a success. RFC 9112 section 6.3 makes each of
// those heads an error.
struct announced_length {
    std::optional<std::uint64_t> length;  // once a length was read
    bool invalid = false;                 // unreadable, or two different lengths
    bool transfer_coded = false;          // a "Transfer-Encoding" field was present

    // One "Content-Length" value: a decimal length, or the same one repeated
    // in a list (RFC 9110 section 8.6).
    void add(std::string_view value)
    {
        std::size_t comma;
        do {
            comma = value.find(',');
            const std::string_view item = trim(value.substr(0, comma));
            value.remove_prefix(comma == std::string_view::npos ? value.size() : comma + 1);
            std::uint64_t number = 0;
            const auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), number);
            if (item.empty() || error != std::errc() || end != item.data() + item.size() ||
                (length && *length != number))
                invalid = true;
            else
                length = number;
        } while (comma != std::string_view::npos);
    }

    // Why a body of `received` bytes did not arrive as the head announced,
    // or "" when it did.
    std::string fault(std::int64_t received) const
    {
        if (invalid)
            return "Invalid Content-Length in the reply";
        if (!length)
            return {};
        if (transfer_coded)
            return "Content-Length beside a Transfer-Encoding in the reply";
        if (received < 0 || static_cast<std::uint64_t>(received) < *length)
            return "Body ended after " + std::to_string(received) + " of its " + std::to_string(*length) + " bytes";
        return {};
    }

    static std::string_view trim(std::string_view text)
    {
        const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
        while (!text.empty() && blank(text.front()))
            text.remove_prefix(1);
        while (!text.empty() && blank(text.back()))
            text.remove_suffix(1);
        return text;
    }
};

bool is_field(std::string_view name, std::string_view wanted)
{
    return name.size() == wanted.size() && std::equal(name.begin(), name.end(), wanted.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

// CURLOPT_HEADERFUNCTION: every line of every response head (an interim
// one first, then the final one), one call a line.
std::size_t header_callback(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* announced = static_cast<announced_length*>(user);
    const std::string_view line(data, size * count);
    if (line.rfind("HTTP/", 0) == 0) {
        *announced = announced_length();  // a new head begins
    } else if (const std::size_t colon = line.find(':'); colon != std::string_view::npos) {
        const std::string_view name = announced_length::trim(line.substr(0, colon));
        if (is_field(name, "Content-Length"))
            announced->add(line.substr(colon + 1));
        else if (is_field(name, "Transfer-Encoding"))
            announced->transfer_coded = true;
    }
    return size * count;
}

}  // namespace

// The easy handle of one job and the header list it points at. libcurl keeps
// using the list until the transfer ends, so both live and die together.
class curl_session {
public:
    curl_session() : easy(curl_easy_init()) {}
    ~curl_session()
    {
        if (easy)
            curl_easy_cleanup(easy);
        free_headers();
        curl_url_cleanup(url);
    }
    curl_session(const curl_session&) = delete;
    curl_session& operator=(const curl_session&) = delete;

    void free_headers()
    {
        curl_slist_free_all(headers);
        headers = nullptr;
    }

    CURL* easy;
    curl_slist* headers = nullptr;
    // The replay's URL; libcurl reads it until the transfer ends.
    CURLU* url = nullptr;
};

namespace {

// The URL of a replay, made of parts that libcurl takes as they are: the
// sniffed server's address and port, and the target as path and query. No
// text of the target is ever parsed as an authority (user-info, host or
// port), so the request goes to the sniffed server or nowhere.
CURLUcode build_url(CURLU* url, const http_request& request)
{
    if (!url)
        return CURLUE_OUT_OF_MEMORY;
    const std::size_t question = request.path.find('?');
    CURLUcode result = curl_url_set(url, CURLUPART_SCHEME, "http", 0);
    if (result == CURLUE_OK)
        result = curl_url_set(url, CURLUPART_HOST, request.server_address.c_str(), 0);
    if (result == CURLUE_OK)
        result = curl_url_set(url, CURLUPART_PORT, std::to_string(request.server_port).c_str(), 0);
    if (result == CURLUE_OK)
        result = curl_url_set(url, CURLUPART_PATH, request.path.substr(0, question).c_str(), 0);
    if (result == CURLUE_OK && question != std::string::npos)
        result = curl_url_set(url, CURLUPART_QUERY, request.path.substr(question + 1).c_str(), 0);
    return result;
}

}  // namespace

download_job::download_job(unsigned id, const http_tuple& exchange, const std::string& path,
                           downloader_handler* handler, std::chrono::seconds stall_limit)
    : id_(id),
      exchange_(exchange),
      final_path_(path),
      handler_(handler),
      stall_limit_(stall_limit)
{
}

download_job::~download_job() = default;

void download_job::run()
{
    // Cancelled while it waited: nothing was reported about it yet, and
    // nothing will be.
    if (cancelled_.load())
        return;
    // The easy handle is made only now, so that a job waiting in the queue
    // holds little more than its copy of the exchange.
    curl_ = std::make_unique<curl_session>();
    temporary_file file(final_path_);
    // A failure is reported once the file is gone, so that a folder the
    // transfer leaves empty can go at the report.
    const auto fail = [&](int code, const std::string& message) {
        file.discard();
        handler_->on_download_error(id_, code, message);
    };
    if (!file.good()) {
        // Reported as started first, as a capture whose file cannot be made
        // is: the transfer shows with its failure instead of vanishing.
        handler_->on_download_started(id_, exchange_, final_path_);
        handler_->on_download_error(id_, 2, "Error opening temporary file");
        return;
    }

    CURL* easy = curl_->easy;
    const http_request& request = exchange_.request;
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    if (request.method == "GET") {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else if (request.method == "POST") {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        // libcurl does not copy the body; the job's own copy outlives the transfer.
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.body.size()));
    } else {
        fail(0, "Unsupported method: " + request.method);
        return;
    }
    // The replay goes to the address the request was sniffed on; the Host
    // header travels with the other sniffed headers below. A target that is
    // not a plain path is refused before anything is sent.
    if (!is_origin_form(request.path)) {
        fail(0, "Unsupported request target");
        return;
    }
    curl_->url = curl_url();
    const CURLUcode url_result = build_url(curl_->url, request);
    if (url_result != CURLUE_OK) {
        fail(0, curl_url_strerror(url_result));
        return;
    }
    curl_easy_setopt(easy, CURLOPT_CURLU, curl_->url);
    // Plain HTTP only, and a redirect is never followed: the answer to the
    // replay is the one from the sniffed server.
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, 30L);
    // Offer every coding libcurl can decode; the body reaches the write
    // callback decoded.
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    // A header given here replaces libcurl's own header of the same name.
    for (const auto& [name, value] : request.headers)
        curl_->headers = curl_slist_append(curl_->headers, (name + ": " + value).c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, curl_->headers);
    write_target target{this, &file};
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &download_job::write_callback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &target);
    announced_length announced;
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &header_callback);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &announced);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &download_job::progress_callback);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);

    last_progress_time_ = std::time(nullptr);
    last_received_ = 0;
    handler_->on_download_started(id_, exchange_, final_path_);

    // A job whose handle could not be made fails here like any transfer.
    const auto result = static_cast<CURLcode>(perform(easy));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
    curl_->free_headers();

    if (result != CURLE_OK) {
        // A transfer ended by its own file says so rather than libcurl's
        // "Failure writing output to destination".
        fail(0, file.good() ? curl_easy_strerror(result) : write_failure(file));
        return;
    }
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) {
        fail(1, std::to_string(status));
        return;
    }
    // The count of body bytes as they came off the wire, before decoding.
    curl_off_t received = 0;
    curl_easy_getinfo(easy, CURLINFO_SIZE_DOWNLOAD_T, &received);
    if (const std::string fault = announced.fault(received); !fault.empty()) {
        fail(0, fault);
        return;
    }
    std::string written;
    switch (file.publish(written)) {
    case temporary_file::outcome::published:
        handler_->on_download_finished(id_, written);
        break;
    case temporary_file::outcome::write_failed:
        handler_->on_download_error(id_, 0, write_failure(file));
        break;
    case temporary_file::outcome::place_failed:
        handler_->on_download_error(id_, 3, "");
        break;
    }
}

void download_job::cancel()
{
    cancelled_.store(true);
    std::lock_guard lock(wake_mutex_);
    if (multi_)
        curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

// libcurl calls the progress callback, which ends a cancelled transfer, only
// every second or so while a connect or a stalled body waits: a stop would
// wait that long for each running job. Here the wait is curl_multi_poll,
// which cancel() ends at once with curl_multi_wakeup.
int download_job::perform(void* handle)
{
    CURL* easy = static_cast<CURL*>(handle);
    CURLM* multi = easy ? curl_multi_init() : nullptr;
    if (!multi || curl_multi_add_handle(multi, easy) != CURLM_OK) {
        curl_multi_cleanup(multi);
        return CURLE_FAILED_INIT;
    }
    {
        std::lock_guard lock(wake_mutex_);
        multi_ = multi;
    }
    CURLcode result = CURLE_OK;
    int running = 1;
    for (;;) {
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            result = CURLE_OUT_OF_MEMORY;
            break;
        }
        if (running == 0)
            break;
        // A cancel that came before the wait below wakes it at once; one that
        // came before multi_ was set is seen here.
        if (cancelled_.load()) {
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    int left = 0;
    while (const CURLMsg* message = curl_multi_info_read(multi, &left))
        if (message->msg == CURLMSG_DONE)
            result = message->data.result;
    {
        std::lock_guard lock(wake_mutex_);
        multi_ = nullptr;
    }
    curl_multi_remove_handle(multi, easy);
    curl_multi_cleanup(multi);
    return result;
}

std::size_t download_job::write_callback(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* target = static_cast<write_target*>(user);
    // Answering fewer bytes than offered makes libcurl end the transfer.
    if (target->job->cancelled_.load())
        return 0;
    const std::size_t length = size * count;
    return target->file->write(data, length) ? length : 0;
}

static_assert(std::is_same_v<curl_off_t, std::int64_t>, "progress_callback must match curl_xferinfo_callback");

int download_job::progress_callback(void* user, std::int64_t dltotal, std::int64_t dlnow, std::int64_t, std::int64_t)
{
    auto* job = static_cast<download_job*>(user);
    if (job->cancelled_.load())
        return -1;  // libcurl aborts with "Callback aborted"
    const std::time_t now = std::time(nullptr);
    if (dlnow > job->last_received_) {
        job->last_received_ = dlnow;
        job->last_progress_time_ = now;
        // The handler takes the counts wrapped to 32 bits. An exception must
        // not unwind through libcurl's C frames: it aborts the transfer instead.
        try {
            job->handler_->on_download_progress(job->id_, static_cast<unsigned>(dltotal),
                                                static_cast<unsigned>(dlnow));
        } catch (...) {
            return -1;
        }
        return 0;
    }
    // Whole seconds: the limit is reached once `limit` seconds have begun
    // since the last new byte.
    return now > job->last_progress_time_ + (job->stall_limit_.count() - 1) ? -1 : 0;
}

}  // namespace mediacap::http
