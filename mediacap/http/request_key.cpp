#include "mediacap/http/request_key.hpp"

#include <algorithm>
#include <locale>
#include <vector>

#include <boost/algorithm/string/predicate.hpp>

namespace mediacap {

namespace {

// Splits at every separator, keeping empty pieces between adjacent ones.
std::vector<std::string> split_all(const std::string& text, char separator)
{
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        pieces.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            return pieces;
        start = end + 1;
    }
}

}  // namespace

void split_url(const std::string& target, std::string& path, std::map<std::string, std::string>& parameters)
{
    const std::size_t question = target.find('?');
    if (question == std::string::npos) {
        path = target;
        return;
    }
    path = target.substr(0, question);
    parameters.clear();
    for (const std::string& piece : split_all(target.substr(question + 1), '&')) {
        const std::vector<std::string> parts = split_all(piece, '=');
        if (parts.size() == 2)
            parameters[parts[0]] = parts[1];
    }
}

}  // namespace mediacap

namespace mediacap::http {

const std::set<std::string>& excluded_parameters()
{
    static const std::set<std::string> names{"aksessionid", "token"};
    return names;
}

const boost::regex& start_pattern()
{
    static const boost::regex pattern("\\&?start=[\\d\\.]+\\&?");
    return pattern;
}

const boost::regex& range_pattern()
{
    static const boost::regex pattern("&range=(\\d+)-(\\d+)");
    return pattern;
}

const std::string& video_site_domain()
{
    static const std::string domain = "youtube.com";
    return domain;
}

bool is_origin_form(const std::string& target)
{
    if (target.empty() || target.front() != '/')
        return false;
    return std::none_of(target.begin(), target.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7f;
    });
}

void strip_range(http_request& request)
{
    if (request.path.compare(0, 15, "/videoplayback?") == 0)
        request.path = boost::regex_replace(request.path, range_pattern(), "");
}

std::string request_key(const http_request& request)
{
    std::string target = request.path;
    const auto host = request.headers.find("Host");
    // A plain suffix test: any host whose name ends with these letters counts.
    if (host != request.headers.end() && boost::algorithm::iends_with(host->second, video_site_domain(), std::locale()))
        target = boost::regex_replace(target, start_pattern(), "");

    std::string path;
    std::map<std::string, std::string> parameters;
    split_url(target, path, parameters);

    std::string key = request.server_address + "#" + path + "?";
    if (path == "/videoplayback") {
        if (const auto id = parameters.find("id"); id != parameters.end())
            return key + "id=" + id->second;
    }
    for (const auto& [name, value] : parameters) {
        if (excluded_parameters().count(name) == 0)
            key += name + "=" + value + "&";
    }
    return key;
}

bool request_filter::contains(const http_tuple& exchange) const
{
    return keys_.count(request_key(exchange.request)) != 0;
}

void request_filter::insert(const http_tuple& exchange)
{
    insert(request_key(exchange.request));
}

void request_filter::insert(std::string key)
{
    if (keys_.count(key) != 0)
        return;
    bytes_ += key.size();
    order_.push_back(std::move(key));
    keys_.insert(order_.back());
    while (order_.size() > request_filter_keys || bytes_ > request_filter_bytes) {
        keys_.erase(order_.front());
        bytes_ -= order_.front().size();
        order_.pop_front();
    }
}

}  // namespace mediacap::http
