// The request loop: one line in, one response line out, strictly in turn, so the next line is not
// read before the previous response is written. Every way out of the loop is silent and orderly:
// end of input, a line that is not exactly one JSON value (or too long, or not UTF-8), an "id"
// too long to answer, or a response line that cannot be written.
#pragma once

#include <string_view>

#include "main/line_reader.hpp"
#include "main/output.hpp"

namespace ktarn::host {

void run_request_loop(LineReader& input, const WriteFunction& output, std::string_view key_name);

}  // namespace ktarn::host
