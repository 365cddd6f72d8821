#pragma once
// The server's answer to PASV and EPSV: the address and port of its data connection.
#include <cstdint>

namespace cvftp {

// "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)": the address text and the port. The
// numbers may stand in parentheses, brackets or bare; an opened bracket must close, and
// nothing but the six numbers may be separated by commas.
bool ParsePasv(const char* text, char (&address)[16], uint32_t* port) noexcept;

// "229 Entering Extended Passive Mode (|||port|)" or "(|2|address|port|)"; the address is
// empty when the reply names none.
bool ParseEpsv(const char* text, char (&address)[64], uint32_t* port) noexcept;

}  // namespace cvftp
