// The one origin transcribe polls: the API host it uploaded to, on the scheme and port of the
// build (http on 80, or https on 443 in the TLS build). A result URL from a reply is used only
// when it names that origin, so a forged reply cannot send the key elsewhere or name a file.
#ifndef OMBRIVOICE_HOST_API_ORIGIN_H
#define OMBRIVOICE_HOST_API_ORIGIN_H

#include <string>

// "http://HOST" or "https://HOST" of this build.
std::string ApiOrigin();

// Empty when url is scheme://authority/... with this build's scheme and the API host (letters
// in any case) with no port or its default one, and no user name; otherwise why it is refused.
std::string ForeignUrlProblem(const std::string& url);

#endif
