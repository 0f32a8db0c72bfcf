// The JSON API of a running node asked as curl asks it, on 127.0.0.1: a GET
// of a target, or a form-encoded POST; each returns the answer's body.
#pragma once

#include <cstdint>
#include <string>

#include "server_test_support.h"

namespace rozeve_test {

inline std::string api_exchange(uint16_t port, const std::string& request) {
  Client client(port);
  EXPECT_TRUE(client.connected());
  client.send(request);
  return body_of(client.read_all());
}

inline std::string curl_get(uint16_t port, const std::string& target) {
  return api_exchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nUser-Agent: curl/7.88.1\r\nAccept: */*\r\n\r\n");
}

inline std::string curl_post(uint16_t port, const std::string& path, const std::string& form) {
  return api_exchange(port, "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nUser-Agent: curl/7.88.1\r\nAccept: */*\r\nContent-Length: " +
                                std::to_string(form.size()) +
                                "\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n" + form);
}

}  // namespace rozeve_test
