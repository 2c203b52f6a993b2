// SPDX-License-Identifier: GPL-3.0-or-later
// The output module: Speech Dispatcher's requests, read from the bytes it
// sends, answered and carried out.
#ifndef VRELAY_SPEECHD_MODULE_H
#define VRELAY_SPEECHD_MODULE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "speechd/message_settings.h"
#include "speechd/module_config.h"
#include "speechd/module_log.h"
#include "speechd/module_output.h"
#include "speechd/module_protocol.h"
#include "speechd/voice_map.h"

namespace vrelay {
namespace frontend {
class EmbeddedServer;
}
namespace speechd {

class Speaker;

class Module {
  public:
    // Replies and events go to outputFd; the log to standard error.
    Module(ModuleConfig config, int outputFd);
    ~Module();  // stops speaking, ends the connection and the embedded server
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Handles every whole request in the bytes read. False once QUIT has been
    // answered or the output is gone: the module should end.
    bool Feed(const char* data, size_t size);

  private:
    bool Handle(const Request& request);
    std::string Init();
    std::string Speak(MessageKind kind, const Request& request);
    std::string SoundIcon(const Request& request);
    std::string Settings(const Request& request);
    std::string Audio(const Request& request);
    std::string LogLevel(const Request& request);
    std::string Debug(const std::string& argument);

    ModuleConfig config_;
    ModuleLog log_;
    ModuleOutput output_;
    ModuleReader reader_;
    MessageSettings settings_;
    VoiceMap voices_;
    std::unique_ptr<frontend::EmbeddedServer> embedded_;
    std::unique_ptr<Speaker> speaker_;  // after embedded_: it goes first
    std::string server_name_;            // "" until INIT succeeded
    uint64_t message_ = 0;              // the message opened last
};

}  // namespace speechd
}  // namespace vrelay

#endif
