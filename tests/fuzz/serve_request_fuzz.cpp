// serve's request handling as a hostile client drives it: where a head ends
// (also as it trickles in), the strict head parser, the refusals, and the
// answer for the parsed request against a small release folder: the static
// paths, the release API and one byte range, never a file outside the folder,
// a hidden one, or one a symbolic link leads out to; and below a URL prefix,
// the same answers, with nothing outside it.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <string_view>
#include <variant>

#include "fuzz_input.h"
#include "http/http_request.h"
#include "server/site_answer.h"

namespace {

using namespace virelo::tool;

void check(bool ok, const char* what) {
    if (!ok) virelo::fuzz::fail("serve_request_fuzz", what);
}

void write(const std::string& path, std::string_view text) { std::ofstream{path, std::ios::binary} << text; }

ino_t inode_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A release folder made once per process, with a file outside it: what may
// be served, by inode.
struct Site {
    std::string parent;  // the release folder and the outside file
    std::string folder;
    std::set<ino_t> servable;
    SiteRoot root;
};

Site make_site() {
    char pattern[] = "/tmp/serve_request_fuzz.XXXXXX";
    const std::string parent = ::mkdtemp(pattern);
    const std::string folder = parent + "/root";
    ::mkdir(folder.c_str(), 0755);
    const std::string digest(64, 'a');
    write(folder + "/manifest.json", "{\"app\": \"Virelo\", \"version\": \"1.0.0\", \"file\": \"Virelo-1.0.0.exe\", "
                                     "\"size\": 10, \"sha256\": \"" + digest + "\"}");
    write(folder + "/manifest.sig", "c2lnbmF0dXJl");
    write(folder + "/Virelo-1.0.0.exe", "MZ-1.0.0-x");
    write(folder + "/release.exe", "MZ-1.0.0-x");
    ::mkdir((folder + "/sub").c_str(), 0755);
    write(folder + "/sub/notes.txt", "notes");
    write(folder + "/.hidden", "hidden");
    write(parent + "/outside.txt", "outside");
    ::symlink("/etc", (folder + "/etc").c_str());
    ::symlink((parent + "/outside.txt").c_str(), (folder + "/outside.txt").c_str());
    std::set<ino_t> servable;
    for (const char* name : {"manifest.json", "manifest.sig", "Virelo-1.0.0.exe", "release.exe", "sub/notes.txt"}) {
        servable.insert(inode_of(folder + "/" + name));
    }
    auto root = SiteRoot::open(folder);
    if (!root) virelo::fuzz::fail("serve_request_fuzz", "cannot open the release folder");
    return {parent, folder, servable, std::move(root.value())};
}

void remove_site();

const Site& site() {
    static const Site made = make_site();
    // Registered once the site is complete, so it runs before its destructor.
    [[maybe_unused]] static const bool removed_at_exit = std::atexit(remove_site) == 0;
    return made;
}

// Links are removed, never followed.
void remove_site() {
    std::error_code ignored;
    std::filesystem::remove_all(site().parent, ignored);
}

void check_answer(const RequestHead& request, const Answer& answer) {
    static const std::set<int> statuses = {200, 206, 304, 404, 416};
    check(statuses.contains(answer.status), "an unexpected status");
    if (answer.file) {
        check(site().servable.contains(answer.file->inode), "a file served that must not be");
        check(answer.file_offset + answer.file_length <= answer.file->size, "a part beyond the file");
        check(answer.status == 200 || answer.status == 206, "a file with another status");
        if (answer.status == 200) check(answer.file_offset == 0 && answer.file_length == answer.file->size, "whole");
        if (answer.status == 206) check(request.method == "GET" && request.range, "a part nobody asked for");
    } else {
        check(answer.status != 200 && answer.status != 206, "a success without a file");
    }
    const std::string head = answer_head(answer, request.keep_alive, request.http_1_1, "Thu, 01 Jan 1970 00:00:00 GMT");
    check(head.starts_with("HTTP/1.1 ") && head.ends_with("\r\n\r\n"), "the answer's head is malformed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input = virelo::fuzz::text_of(data, size);
    const std::size_t blank = leading_blank_lines(input);
    check(blank <= input.size(), "more blank bytes than input");
    const std::string_view received = input.substr(blank);

    const auto length = request_head_length(received);
    // The same answer when the head arrives in two pieces and the first was
    // already searched.
    const std::size_t cut = size == 0 ? 0 : data[0] % (received.size() + 1);
    if (!request_head_length(received.substr(0, cut))) {
        check(request_head_length(received, cut) == length, "a trickled head measures differently");
    }
    if (!length) {
        if (received.size() > max_request_head_bytes) {
            const Refusal refusal = oversized_head(received);
            check(refusal.status == 414 || refusal.status == 431, "an oversized head's status");
        }
        return 0;
    }
    check(*length <= received.size() && *length > 0, "a head longer than what arrived");

    const auto parsed = parse_request_head(received.substr(0, *length));
    if (const auto* refusal = std::get_if<Refusal>(&parsed)) {
        check(refusal->status >= 400 && refusal->status < 600, "a refusal that is no error");
        check(!refusal->reason.empty(), "a refusal without a reason");
        return 0;
    }
    const auto& request = std::get<RequestHead>(parsed);
    check(request.method == "GET" || request.method == "HEAD", "another method accepted");
    single_query_value(request.query, "f");
    const Answer answer = answer_request(site().root, request);
    check_answer(request, answer);

    // Below a prefix, the answer for the path below it; outside it, nothing.
    const Answer prefixed = answer_request(site().root, request, "/v/");
    if (!request.path.starts_with("/v/")) {
        check(prefixed.status == 404 && !prefixed.file, "an answer outside the prefix");
        return 0;
    }
    RequestHead below = request;
    below.path = request.path.substr(2);
    const Answer expected = answer_request(site().root, below);
    check(prefixed.status == expected.status && prefixed.fields == expected.fields && prefixed.body == expected.body,
          "a different answer below the prefix");
    check(prefixed.file.has_value() == expected.file.has_value() &&
              (!prefixed.file || prefixed.file->inode == expected.file->inode),
          "a different file below the prefix");
    return 0;
}
