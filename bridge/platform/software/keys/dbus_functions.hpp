// The libdbus functions the Secret Service client calls, looked up in libdbus-1.so.3 the first
// time a sealed keychain is used or a new keychain asks whether a Secret Service takes a wrapping
// key. Nothing links libdbus, so a companion whose keychain is plain never maps it. Each entry is
// typed from the library's own prototype, so a call through the table is checked as a direct call
// would be.
#pragma once

#include <dbus/dbus.h>

namespace ktarn::platform::software {

struct DbusFunctions {
  decltype(&::dbus_error_init) error_init;
  decltype(&::dbus_error_free) error_free;
  decltype(&::dbus_connection_open_private) connection_open_private;
  decltype(&::dbus_connection_close) connection_close;
  decltype(&::dbus_connection_unref) connection_unref;
  decltype(&::dbus_connection_set_exit_on_disconnect) connection_set_exit_on_disconnect;
  decltype(&::dbus_connection_set_max_message_size) connection_set_max_message_size;
  decltype(&::dbus_connection_set_max_received_size) connection_set_max_received_size;
  decltype(&::dbus_connection_set_max_message_unix_fds) connection_set_max_message_unix_fds;
  decltype(&::dbus_connection_get_is_connected) connection_get_is_connected;
  decltype(&::dbus_connection_send_with_reply_and_block) connection_send_with_reply_and_block;
  decltype(&::dbus_connection_read_write) connection_read_write;
  decltype(&::dbus_connection_pop_message) connection_pop_message;
  decltype(&::dbus_bus_set_unique_name) bus_set_unique_name;
  decltype(&::dbus_message_new_method_call) message_new_method_call;
  decltype(&::dbus_message_unref) message_unref;
  decltype(&::dbus_message_set_auto_start) message_set_auto_start;
  decltype(&::dbus_message_get_type) message_get_type;
  decltype(&::dbus_message_has_signature) message_has_signature;
  decltype(&::dbus_message_is_signal) message_is_signal;
  decltype(&::dbus_message_iter_init) message_iter_init;
  decltype(&::dbus_message_iter_init_append) message_iter_init_append;
  decltype(&::dbus_message_iter_append_basic) message_iter_append_basic;
  decltype(&::dbus_message_iter_append_fixed_array) message_iter_append_fixed_array;
  decltype(&::dbus_message_iter_open_container) message_iter_open_container;
  decltype(&::dbus_message_iter_close_container) message_iter_close_container;
  decltype(&::dbus_message_iter_get_arg_type) message_iter_get_arg_type;
  decltype(&::dbus_message_iter_get_basic) message_iter_get_basic;
  decltype(&::dbus_message_iter_get_fixed_array) message_iter_get_fixed_array;
  decltype(&::dbus_message_iter_recurse) message_iter_recurse;
  decltype(&::dbus_message_iter_next) message_iter_next;
};

// The table, loaded on the first call and kept for the process (libdbus is never unloaded: it
// keeps process-wide state); none when libdbus-1.so.3 or any of the functions is missing.
const DbusFunctions* dbus_functions();

}  // namespace ktarn::platform::software
