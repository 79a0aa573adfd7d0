#pragma once

// Where and how to publish: section "MQTT" of the configuration as values.

#include <string>

struct MqttSettings {
    std::string host;  // empty: no publishing
    int port = 1883;
    bool tls = false;
    std::string caFile;
    std::string username;
    std::string password;  // read from the password file, never from the configuration
    std::string prefix;    // "zaritmon/<host name>" unless given
    std::string clientId;
    bool homeAssistant = false;  // DISCOVERY=homeassistant: entities announced to Home Assistant
};
