#include "packet.h"

namespace dotz {

Packet Packet::fromJson(std::string json)
{
    const size_t size = json.size();
    json.append(kPadding, ' ');
    auto buffer = std::make_shared<const std::string>(std::move(json));
    return inBuffer(buffer, std::string_view(*buffer).substr(0, size));
}

Packet Packet::inBuffer(std::shared_ptr<const std::string> buffer, std::string_view json)
{
    const char* end = buffer->data() + buffer->size();
    const auto readable = static_cast<size_t>(end - json.data());
    return inMemory(std::move(buffer), json, readable);
}

Packet Packet::inMemory(std::shared_ptr<const void> owner, std::string_view json, size_t readable)
{
    Packet p;
    p.owner_ = std::move(owner);
    p.json_ = json;
    p.readable_ = readable;
    return p;
}

Packet Packet::inMemory(std::shared_ptr<const Memory> owner, std::string_view json, size_t readable)
{
    const Memory* memory = owner.get();
    Packet p = inMemory(std::shared_ptr<const void>(std::move(owner)), json, readable);
    p.memory_ = memory;
    return p;
}

Packet Packet::arriving(std::shared_ptr<const Arrival> arrival)
{
    Packet p;
    p.arrival_ = arrival.get();
    p.owner_ = std::move(arrival);
    return p;
}

} // namespace dotz
