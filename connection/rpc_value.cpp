#include "rpc_value.h"

#include "base/error.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>

namespace dotz {

const char* Variant::kindName(Kind kind)
{
    switch (kind) {
    case Kind::Null:
        return "null";
    case Kind::Boolean:
        return "um valor lógico";
    case Kind::Number:
        return "um número";
    case Kind::Text:
        return "um texto";
    case Kind::Date:
        return "uma data";
    case Kind::Array:
        return "uma lista";
    case Kind::Packet:
        return "um objeto";
    }
    return "um valor";
}

namespace {

[[noreturn]] void wrongKind(Variant::Kind expected, Variant::Kind actual)
{
    throw Error(std::string("esperava-se ") + Variant::kindName(expected) + ", e veio " +
                Variant::kindName(actual));
}

} // namespace

bool Variant::asBoolean() const
{
    if (kind() != Kind::Boolean)
        wrongKind(Kind::Boolean, kind());
    return std::get<bool>(value_);
}

double Variant::asNumber() const
{
    if (kind() != Kind::Number)
        wrongKind(Kind::Number, kind());
    return std::get<double>(value_);
}

const std::string& Variant::asText() const
{
    if (kind() != Kind::Text)
        wrongKind(Kind::Text, kind());
    return std::get<std::string>(value_);
}

Day Variant::asDate() const
{
    if (kind() != Kind::Date)
        wrongKind(Kind::Date, kind());
    return std::get<Day>(value_);
}

const Variant::Array& Variant::asArray() const
{
    if (kind() != Kind::Array)
        wrongKind(Kind::Array, kind());
    return *std::get<std::shared_ptr<const Array>>(value_);
}

const Packet& Variant::asPacket() const
{
    if (kind() != Kind::Packet)
        wrongKind(Kind::Packet, kind());
    return std::get<PacketValue>(value_).packet;
}

namespace {

using JsonWriter =
    rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                      rapidjson::CrtAllocator, rapidjson::kWriteValidateEncodingFlag>;

// Throws dotz::Error saying which parameter cannot be sent.
void writeValue(JsonWriter& w, const Variant& v, const std::string& where)
{
    using K = Variant::Kind;
    bool ok = true;
    switch (v.kind()) {
    case K::Null:
        ok = w.Null();
        break;
    case K::Boolean:
        ok = w.Bool(v.asBoolean());
        break;
    case K::Number:
        if (!std::isfinite(v.asNumber()))
            throw Error(where + " não é um número finito");
        ok = w.Double(v.asNumber());
        break;
    case K::Text: {
        const std::string& t = v.asText();
        if (!w.String(t.data(), static_cast<rapidjson::SizeType>(t.size())))
            throw Error(where + " não é texto UTF-8 válido");
        break;
    }
    case K::Date: {
        const std::string iso = v.asDate().iso();
        ok = w.String(iso.data(), static_cast<rapidjson::SizeType>(iso.size()));
        break;
    }
    case K::Array: {
        w.StartArray();
        size_t i = 0;
        for (const Variant& item : v.asArray())
            writeValue(w, item, where + ", item " + std::to_string(++i) + ",");
        ok = w.EndArray();
        break;
    }
    case K::Packet: {
        const std::string_view json = v.asPacket().json();
        ok = w.RawValue(json.data(), json.size(), rapidjson::kObjectType);
        break;
    }
    }
    if (!ok)
        throw Error(where + " não pode ser escrito em JSON");
}

} // namespace

std::string jsonRpcRequest(long long id, std::string_view method,
                           const std::vector<Variant>& params)
{
    rapidjson::StringBuffer out;
    JsonWriter w(out);
    w.StartObject();
    w.Key("jsonrpc");
    w.String("2.0");
    w.Key("id");
    w.Int64(id);
    w.Key("method");
    if (!w.String(method.data(), static_cast<rapidjson::SizeType>(method.size())))
        throw Error("o nome do método não é texto UTF-8 válido");
    w.Key("params");
    w.StartArray();
    for (size_t i = 0; i < params.size(); ++i)
        writeValue(w, params[i], "o parâmetro " + std::to_string(i + 1));
    w.EndArray();
    w.EndObject();
    return std::string(out.GetString(), out.GetSize());
}

} // namespace dotz
