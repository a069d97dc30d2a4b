// Readable texts for the failures the transport reports, each built in one place.
#pragma once

#include <string>

#include <boost/system/error_code.hpp>

namespace pen::wire {

// "Address already in use (os error 98)": the system's description and the error number.
std::string os_error_text(int err);

// Any error code: the OS form for system errors, the library's own message otherwise.
std::string error_text(const boost::system::error_code& ec);

// The opening-handshake error as the accept-failed line shows it: "HTTP error: ..." for a
// rejected request, "WebSocket protocol error: ..." for an invalid upgrade request,
// "HTTP format error: ..." for an unparsable one and "IO error: ..." for everything else.
std::string handshake_error_text(const boost::system::error_code& ec);

// The resolver's failure as getaddrinfo's gai_strerror would word it.
std::string resolver_error_text(const boost::system::error_code& ec);

}  // namespace pen::wire
