#include "pe/pe_image.h"

namespace onefile_pe {

Image Image::read(std::vector<std::uint8_t> bytes) {
  Image image;
  image.bytes_ = std::move(bytes);
  throw PeError("not implemented yet");
}
std::uint16_t Image::subsystem() const { return 0; }
void Image::set_subsystem(std::uint16_t) {}
std::uint32_t Image::add_section(std::string_view, std::vector<std::uint8_t>, std::uint32_t) {
  return 0;
}
std::optional<std::span<const std::uint8_t>> Image::section_data(std::string_view) const {
  return std::nullopt;
}
std::optional<std::span<std::uint8_t>> Image::mutable_section_data(std::string_view) {
  return std::nullopt;
}
void Image::set_resources(std::vector<Resource>) {}
std::vector<std::uint8_t> Image::write() const { return bytes_; }
std::vector<std::string> Image::section_names() const { return {}; }
std::uint32_t pe_checksum(std::span<const std::uint8_t>, std::size_t) { return 0; }

}  // namespace onefile_pe
