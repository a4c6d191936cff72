// The hand-over socket takes bytes from whatever process connects: the listener must answer
// every byte string, and take a code exactly when the bytes are the tag, a length of 1 to 64
// and that many bytes.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "headless/single_instance.h"

namespace {

std::unique_ptr<vornet::headless::HandoverListener> listener;
std::string socketPath;

std::uint32_t le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string folder = (std::filesystem::temp_directory_path() / "parlow-handover-fuzz-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) std::abort();
    socketPath = folder + "/run/parlow.sock";
    std::string error;
    listener = vornet::headless::HandoverListener::listen(socketPath, error);
    if (!listener) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) return 0;  // the socket buffer holds it all before the listener reads
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
    if (size > 0 && ::send(fd, data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) std::abort();
    ::shutdown(fd, SHUT_WR);
    std::optional<std::string> code = listener->serveOne(1000);
    unsigned char answer = 0xFF;
    if (::recv(fd, &answer, 1, 0) != 1) std::abort();  // every sender gets an answer
    ::close(fd);

    std::optional<std::string> expected;
    if (size >= 8 && le32(data) == vornet::headless::kHandoverTag) {
        std::uint32_t length = le32(data + 4);
        if (length >= 1 && length <= vornet::headless::kMaxHandoverCode && size >= 8 + length)
            expected = std::string(reinterpret_cast<const char*>(data + 8), length);
    }
    if (code != expected || answer != (expected ? 1 : 0)) std::abort();
    return 0;
}
