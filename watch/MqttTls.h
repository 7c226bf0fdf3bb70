// The TLS files of Watch.mqtt.tls, checked with OpenSSL when the watcher
// starts: a file that holds no usable certificate or key, or a key that is
// not the certificate's, is a configuration error said on one line, rather
// than a broker said unreachable for ever.
#pragma once

#include <string>

#include "config/WatchSettings.h"

namespace tarvolen {

// The problem, naming the key and the file, or an empty string.
std::string checkMqttTlsFiles(const MqttTlsSettings& tls);

}  // namespace tarvolen
