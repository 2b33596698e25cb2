// DNS messages for tests: queries made by the C library's resolver routines,
// answers checked by its message parser, and the echo answer a test DNS
// server gives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A recursive query for name and type (1: A) with the given id; throws
// std::runtime_error when the resolver refuses the name.
std::string DnsQuery(const std::string &name, int type = 1, uint16_t id = 0);

// True when message is exactly one well-formed DNS message with the QR
// (response) bit set.
bool IsDnsResponse(const std::string &message);

// The addresses of the A records in a response's answer section, as dotted
// text; empty when message does not parse.
std::vector<std::string> DnsAnswerAddresses(const std::string &message);

// The query with its QR bit set: a response with no answer records. Empty
// when query is shorter than a DNS header or already a response.
std::string EchoAnswer(const std::string &query);
