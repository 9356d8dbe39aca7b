#include "packet.h"

namespace dotz {

Packet Packet::fromJson(std::string json)
{
    const size_t size = json.size();
    json.append(kPadding, ' ');
    Packet p;
    p.buffer_ = std::make_shared<const std::string>(std::move(json));
    p.json_ = std::string_view(*p.buffer_).substr(0, size);
    return p;
}

Packet Packet::inBuffer(std::shared_ptr<const std::string> buffer, std::string_view json)
{
    Packet p;
    p.buffer_ = std::move(buffer);
    p.json_ = json;
    return p;
}

size_t Packet::readable() const
{
    if (!buffer_)
        return 0;
    const char* end = buffer_->data() + buffer_->size();
    return static_cast<size_t>(end - json_.data());
}

} // namespace dotz
