// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/ports/port_names.h"

#include <cstdio>
#include <cstdlib>

#include "midi/servers/client_name.h"

namespace midi {

std::string cutUtf8(const std::string& text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  std::size_t end = maxBytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

std::string alsaDisplayName(const std::string& alsaName) {
  std::string name = alsaName;
  const auto space = name.rfind(' ');
  if (space != std::string::npos) {
    const std::string address = name.substr(space + 1);
    const auto colon = address.find(':');
    if (colon != std::string::npos && colon > 0 &&
        address.find_first_not_of("0123456789:") == std::string::npos) {
      if (std::atoi(address.substr(0, colon).c_str()) == 0) return {};  // the system client
      name.erase(space);
    }
  }
  if (name.rfind(kClientName, 0) == 0) return {};  // a port of our own
  const auto colon = name.find(':');
  return colon == std::string::npos ? name : name.substr(colon + 1);
}

bool alsaAddress(const std::string& alsaName, int& client, int& port) {
  const auto space = alsaName.rfind(' ');
  if (space == std::string::npos) return false;
  unsigned c = 0;
  unsigned p = 0;
  char end = 0;
  if (std::sscanf(alsaName.c_str() + space + 1, "%u:%u%c", &c, &p, &end) != 2) return false;
  client = static_cast<int>(c);
  port = static_cast<int>(p);
  return true;
}

std::string alsaPortNames(const std::string& alsaName) {
  int client = 0;
  int port = 0;
  return alsaAddress(alsaName, client, port) ? alsaName.substr(0, alsaName.rfind(' ')) : alsaName;
}

bool samePort(PortApi api, const std::string& a, const std::string& b) {
  return api == PortApi::Jack ? a == b : alsaPortNames(a) == alsaPortNames(b);
}

}  // namespace midi
