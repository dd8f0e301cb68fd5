#pragma once
// SHA-256 of what is written, computed as it is written (OpenSSL's, which uses the CPU's SHA
// instructions where there are any).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vel {

class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t size);
    void updateZeros(std::uint64_t size);
    // Lower-case hex of everything given so far; the hash starts again afterwards.
    std::string hex();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace vel
