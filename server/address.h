#pragma once

/*
 * Where the greeting server listens: the loopback address only, so that no
 * other host can reach it, and a fixed port. observe, as the server's
 * client, connects here.
 */

namespace server {

constexpr char listen_address[] = "127.0.0.1";
constexpr unsigned short listen_port = 3456;

} // namespace server
