#pragma once
// What velk-unpack and velk-inspect judge and show of an http:// or https:// URL before any
// request is made: whether an argument is one, whether it can be asked for as it stands, and
// the form messages show, without the user and password a URL may carry. Stateless.

#include <string>

namespace velk {

// True when `text` starts with "http://" or "https://" (the scheme in any case).
bool isUrl(const std::string& text);
// True when `url` starts with "https://" (the scheme in any case).
bool isHttpsUrl(const std::string& url);
// Empty when `url` can be asked for; else why not: a control byte, a blank or a byte above
// 0x7e (a URL is printable ASCII; a newline would split a request or a log line), or no host.
std::string urlProblem(const std::string& url);
// `url` without its "user:password@" part, for messages and progress lines: a URL without
// one is returned as it is. Never shows a byte of the user or the password.
std::string shownUrl(const std::string& url);

}  // namespace velk
