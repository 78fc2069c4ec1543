#include "service/service.h"

#include <memory>

#include "files/service_log.h"
#include "platform/service_host.h"
#include "server/options.h"
#include "server/server.h"

namespace tavrel::service {

void run_command() {
  auto stop = std::make_shared<StopFlag>();
  const platform::ServiceHostCalls calls{
      [](std::shared_ptr<StopFlag> flag, const std::function<void()>& running) {
        return server::run_server(std::move(flag), running);
      },
      [](const std::string& line) { files::log_line(line); },
      // With a margin, as the service manager takes it for a hung service when it runs out.
      server::LONGEST_STOP + std::chrono::seconds(5),
  };
  platform::run_service_host(std::string(SERVICE_NAME), std::move(stop), calls);
}

}  // namespace tavrel::service
