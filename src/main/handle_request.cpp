#include "main/handle_request.hpp"

#include <string>
#include <utility>

#include "main/operation_table.hpp"

namespace ktarn::host {
namespace {

using json::JsonValue;

// The request's "id" when it is a string; every other request is answered with "".
std::string request_id(const JsonValue& request) {
  const JsonValue* id = json::find_member(request, "id");
  const auto text = id != nullptr ? id->as_string() : std::nullopt;
  return text ? std::string(*text) : std::string();
}

const Operation* requested_operation(const JsonValue& request) {
  const JsonValue* type = json::find_member(request, "type");
  const auto word = type != nullptr ? type->as_string() : std::nullopt;
  return word ? find_operation(*word) : nullptr;
}

JsonValue response_object(std::string id, macos::OperationOutcome outcome) {
  JsonValue response = JsonValue::object();
  response.insert("id", JsonValue::string(id));
  response.insert("ok", JsonValue::boolean(outcome.has_value()));
  if (outcome.has_value()) {
    response.insert("result", std::move(outcome).value());
  } else {
    response.insert("error", JsonValue::string(outcome.error()));
  }
  return response;
}

}  // namespace

std::optional<JsonValue> handle_request(const JsonValue& request,
                                        const json::RootMemberTexts& texts,
                                        std::string_view key_name) {
  std::string id = request_id(request);
  // Decided before the type is looked at: no operation runs for such a request.
  if (id.size() > kMaxRequestIdBytes) return std::nullopt;
  const Operation* operation = requested_operation(request);
  macos::OperationOutcome outcome = operation != nullptr
                                        ? operation->run(request, texts, key_name)
                                        : macos::failure(std::string(kUnsupportedOperation));
  return response_object(std::move(id), std::move(outcome));
}

}  // namespace ktarn::host
