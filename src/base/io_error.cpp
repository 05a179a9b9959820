#include "base/io_error.hpp"

#include <cerrno>
#include <cstring>

namespace tolva {

std::string_view io_error_kind(int error_number) {
  switch (error_number) {
    case EPERM:
    case EACCES: return "PermissionDenied";
    case ENOENT: return "NotFound";
    case EINTR: return "Interrupted";
    case E2BIG: return "ArgumentListTooLong";
    case EAGAIN: return "WouldBlock";
    case ENOMEM: return "OutOfMemory";
    case EBUSY: return "ResourceBusy";
    case EEXIST: return "AlreadyExists";
    case EXDEV: return "CrossesDevices";
    case ENOTDIR: return "NotADirectory";
    case EISDIR: return "IsADirectory";
    case EINVAL: return "InvalidInput";
    case ETXTBSY: return "ExecutableFileBusy";
    case EFBIG: return "FileTooLarge";
    case ENOSPC: return "StorageFull";
    case ESPIPE: return "NotSeekable";
    case EROFS: return "ReadOnlyFilesystem";
    case EMLINK: return "TooManyLinks";
    case EPIPE: return "BrokenPipe";
    case EDEADLK: return "Deadlock";
    case ENAMETOOLONG: return "InvalidFilename";
    case ENOSYS: return "Unsupported";
    case ENOTEMPTY: return "DirectoryNotEmpty";
    case ELOOP: return "FilesystemLoop";
    case EADDRINUSE: return "AddrInUse";
    case EADDRNOTAVAIL: return "AddrNotAvailable";
    case ENETDOWN: return "NetworkDown";
    case ENETUNREACH: return "NetworkUnreachable";
    case ECONNABORTED: return "ConnectionAborted";
    case ECONNRESET: return "ConnectionReset";
    case ENOTCONN: return "NotConnected";
    case ETIMEDOUT: return "TimedOut";
    case ECONNREFUSED: return "ConnectionRefused";
    case EHOSTUNREACH: return "HostUnreachable";
    case ESTALE: return "StaleNetworkFileHandle";
    case EDQUOT: return "QuotaExceeded";
    default: return "Uncategorized";
  }
}

std::string render_os_error(int error_number) {
  char buffer[256];
  // GNU strerror_r: returns the text, which may or may not live in buffer.
  const char* text = strerror_r(error_number, buffer, sizeof buffer);
  return "Os { code: " + std::to_string(error_number) + ", kind: " +
         std::string(io_error_kind(error_number)) + ", message: \"" + text + "\" }";
}

std::string render_plain_error(std::string_view kind, std::string_view message) {
  return "Error { kind: " + std::string(kind) + ", message: \"" + std::string(message) + "\" }";
}

}  // namespace tolva
