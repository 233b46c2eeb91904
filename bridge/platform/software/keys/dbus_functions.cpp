#include "bridge/platform/software/keys/dbus_functions.hpp"

#include <dlfcn.h>

namespace ktarn::platform::software {

namespace {

template <class Function>
bool find(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(::dlsym(library, name));
  return function != nullptr;
}

// Local symbols, so that nothing else in the process binds to this copy by accident.
const DbusFunctions* load() {
  void* library = ::dlopen("libdbus-1.so.3", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  static DbusFunctions table;
  DbusFunctions& f = table;
  const bool found =
      find(library, "dbus_error_init", f.error_init) &&
      find(library, "dbus_error_free", f.error_free) &&
      find(library, "dbus_connection_open_private", f.connection_open_private) &&
      find(library, "dbus_connection_close", f.connection_close) &&
      find(library, "dbus_connection_unref", f.connection_unref) &&
      find(library, "dbus_connection_set_exit_on_disconnect",
           f.connection_set_exit_on_disconnect) &&
      find(library, "dbus_connection_set_max_message_size", f.connection_set_max_message_size) &&
      find(library, "dbus_connection_set_max_received_size", f.connection_set_max_received_size) &&
      find(library, "dbus_connection_set_max_message_unix_fds",
           f.connection_set_max_message_unix_fds) &&
      find(library, "dbus_connection_get_is_connected", f.connection_get_is_connected) &&
      find(library, "dbus_connection_send_with_reply_and_block",
           f.connection_send_with_reply_and_block) &&
      find(library, "dbus_connection_read_write", f.connection_read_write) &&
      find(library, "dbus_connection_pop_message", f.connection_pop_message) &&
      find(library, "dbus_bus_set_unique_name", f.bus_set_unique_name) &&
      find(library, "dbus_message_new_method_call", f.message_new_method_call) &&
      find(library, "dbus_message_unref", f.message_unref) &&
      find(library, "dbus_message_set_auto_start", f.message_set_auto_start) &&
      find(library, "dbus_message_get_type", f.message_get_type) &&
      find(library, "dbus_message_has_signature", f.message_has_signature) &&
      find(library, "dbus_message_is_signal", f.message_is_signal) &&
      find(library, "dbus_message_iter_init", f.message_iter_init) &&
      find(library, "dbus_message_iter_init_append", f.message_iter_init_append) &&
      find(library, "dbus_message_iter_append_basic", f.message_iter_append_basic) &&
      find(library, "dbus_message_iter_append_fixed_array", f.message_iter_append_fixed_array) &&
      find(library, "dbus_message_iter_open_container", f.message_iter_open_container) &&
      find(library, "dbus_message_iter_close_container", f.message_iter_close_container) &&
      find(library, "dbus_message_iter_get_arg_type", f.message_iter_get_arg_type) &&
      find(library, "dbus_message_iter_get_basic", f.message_iter_get_basic) &&
      find(library, "dbus_message_iter_get_fixed_array", f.message_iter_get_fixed_array) &&
      find(library, "dbus_message_iter_recurse", f.message_iter_recurse) &&
      find(library, "dbus_message_iter_next", f.message_iter_next);
  return found ? &table : nullptr;
}

}  // namespace

const DbusFunctions* dbus_functions() {
  static const DbusFunctions* const table = load();
  return table;
}

}  // namespace ktarn::platform::software
