#pragma once
// Composing the request line and header block of one POST to the contract server.

#include <string>
#include <string_view>
#include <vector>

namespace telva {

// The header block for `target` with its body length: request line, the ten header lines in their fixed
// order and the empty line, all ended by CR LF. `custom_lines` are whole lines ("Name: value") placed after
// Content-Length. Every character of the block is one byte: up to U+007F as itself, every other UTF-16
// unit as "?".
std::string ComposeRequestHead(std::string_view target, std::string_view host_header,
                               std::string_view boundary, std::size_t content_length,
                               const std::vector<std::string>& custom_lines);

// A header line "name: value" whose value is stripped of CR, LF and every other control character, so that
// no value (a session identifier or token from the server) can split it or add a header.
std::string HeaderLine(std::string_view name, std::string_view value);

} // namespace telva
