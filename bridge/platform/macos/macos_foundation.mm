// Text, Base64 and the envelope's JSON through Foundation, and the C allocator.
#include "bridge/platform/macos/exception_edge.hpp"
#include "bridge/platform/macos/macos_platform.hpp"

#import <Foundation/Foundation.h>

#include <cstdlib>

namespace ktarn::platform::macos {
namespace {

NSString* string_of(std::string_view text) {
  return [[NSString alloc] initWithBytes:text.data()
                                  length:text.size()
                                encoding:NSUTF8StringEncoding];
}

// nil when a text in the value is not well-formed UTF-8.
id json_object(const Value& value) {
  if (const auto* flag = std::get_if<bool>(&value.data)) return [NSNumber numberWithBool:*flag];
  if (const auto* number = std::get_if<std::int64_t>(&value.data)) {
    return [NSNumber numberWithLongLong:*number];
  }
  if (const auto* text = std::get_if<std::string>(&value.data)) return string_of(*text);
  if (const auto* array = std::get_if<Array>(&value.data)) {
    NSMutableArray* elements = [NSMutableArray arrayWithCapacity:array->size()];
    for (const Value& element : *array) {
      id object = json_object(element);
      if (object == nil) return nil;
      [elements addObject:object];
    }
    return elements;
  }
  const auto& dictionary = std::get<Dictionary>(value.data);
  NSMutableDictionary* members =
      [NSMutableDictionary dictionaryWithCapacity:dictionary.members.size()];
  for (const auto& [name, member] : dictionary.members) {
    NSString* key = string_of(name);
    id object = json_object(member);
    if (key == nil || object == nil) return nil;
    [members setObject:object forKey:key];
  }
  return members;
}

}  // namespace

// stringWithUTF8String: would raise on NULL, which the seam answers with none.
std::optional<std::string> MacosFoundation::string_with_utf8_string(const char* bytes) {
  if (bytes == nullptr) return std::nullopt;
  return guarded([&]() -> std::optional<std::string> {
    if ([NSString stringWithUTF8String:bytes] == nil) return std::nullopt;
    return std::string(bytes);
  });
}

std::string MacosFoundation::base64_encoded_string(std::span<const std::uint8_t> bytes) {
  return guarded([&] {
    NSData* data = [NSData dataWithBytes:bytes.data() length:bytes.size()];
    // The text is ASCII, which always has a UTF-8 form; none would read as no text.
    const char* text = [data base64EncodedStringWithOptions:0].UTF8String;
    return text != nullptr ? std::string(text) : std::string();
  });
}

std::optional<Bytes> MacosFoundation::init_with_base64_encoded_string(std::string_view text) {
  return guarded([&]() -> std::optional<Bytes> {
    NSString* string = string_of(text);
    NSData* data =
        string != nil ? [[NSData alloc] initWithBase64EncodedString:string options:0] : nil;
    if (data == nil) return std::nullopt;
    const auto* begin = static_cast<const std::uint8_t*>(data.bytes);
    return begin != nullptr ? Bytes(begin, begin + data.length) : Bytes();
  });
}

std::optional<std::string> MacosFoundation::data_with_json_object(const Value& object) {
  return guarded([&]() -> std::optional<std::string> {
    id json = json_object(object);
    NSData* data =
        json != nil ? [NSJSONSerialization dataWithJSONObject:json options:0 error:nullptr] : nil;
    if (data == nil) return std::nullopt;
    return std::string(static_cast<const char*>(data.bytes), data.length);
  });
}

void* MacosFoundation::malloc(std::size_t size) {
  return std::malloc(size);
}

}  // namespace ktarn::platform::macos
