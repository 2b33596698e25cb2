#include "api_data_reader.h"

#include <stdexcept>
#include <string_view>

#include "common/json_reader.h"
#include "json_values.h"

namespace {

// Option files are read whole: a bound on their size, as on their nesting
// (the JSON reader's), keeps a wrong file from exhausting memory or stack.
constexpr size_t max_option_file_size = 16 * 1024 * 1024;

// The file's document through the JSON reader: a regular file within the
// size bound, nested at most 64 levels, without NUL bytes or repeated keys.
// Throws std::runtime_error naming the file.
json ReadOptionFile(const std::string &path)
{
    try {
        return vppJson::ParseFile(path, max_option_file_size);
    } catch (const vppJson::ReadError &error) {
        throw std::runtime_error(path + ": cannot open: " + error.Problem());
    } catch (const vppJson::SyntaxError &error) {
        throw std::runtime_error(path + ": not valid JSON: " + error.Problem());
    }
}

// Runs read on the file's document, naming the file in any input error.
template <typename Read> auto WithFileName(const std::string &path, Read read)
{
    json document = ReadOptionFile(path);
    try {
        return read(document);
    } catch (const InputError &error) {
        throw std::runtime_error(path + ": " + error.what());
    }
}

vdVelborApiData::Signature ReadSignature(const json &object, const std::string &path)
{
    RequireObject(object, path);
    vdVelborApiData::Signature signature;
    bool has_tag = false;
    for (const auto &[name, value] : object.items()) {
        std::string member = MemberPath(path, name);
        if (name == "tag") {
            signature.tag = ReadString(value, member);
            has_tag = true;
        } else if (name == "format")
            signature.format = ReadString(value, member);
        else if (name == "version")
            signature.version = ReadInteger<uint32_t>(value, member);
        else if (name == "encryption")
            signature.encryption = ReadString(value, member);
        else if (name == "path")
            signature.path = ReadString(value, member);
        else if (name == "definition")
            signature.definition = value;
        else if (name == "stamp")
            signature.stamp = ReadInteger<uint64_t>(value, member);
        else
            throw InputError(member, "unknown member");
    }
    if (!has_tag || signature.tag.empty())
        throw InputError(MemberPath(path, "tag"), "missing or empty");
    return signature;
}

vdVelborApiManager::Signatures ReadSignatures(const json &list)
{
    RequireArray(list, "");
    vdVelborApiManager::Signatures signatures;
    for (size_t index = 0; index < list.size(); index++) {
        std::string path = ElementPath("", index);
        auto signature = ReadSignature(list[index], path);
        std::string tag = signature.tag;
        if (!signatures.emplace(tag, std::move(signature)).second)
            throw InputError(MemberPath(path, "tag"), "\"" + tag + "\" given twice");
    }
    return signatures;
}

std::shared_ptr<const vdVelborApiData> ReadApiData(const json &object, const std::string &path)
{
    RequireObject(object, path);
    auto data = std::make_shared<vdVelborApiData>();
    for (const auto &[name, value] : object.items()) {
        std::string member = MemberPath(path, name);
        if (name == "urls") {
            RequireObject(value, member);
            for (const auto &[url_name, url] : value.items())
                data->urls[url_name] = ReadString(url, MemberPath(member, url_name));
        } else if (name == "auth")
            data->auth.bearer_token = ReadString(value, member);
        else
            throw InputError(member, "unknown member");
    }
    return data;
}

BootstrapData ReadBootstrap(const json &object)
{
    static const std::map<std::string_view, uint8_t> types{
        {"agent", vdVelborApiData::agent},
        {"intel", vdVelborApiData::intel},
        {"dev_discovery", vdVelborApiData::dev_discovery},
    };
    RequireObject(object, "");
    BootstrapData bootstrap;
    for (const auto &[name, value] : object.items()) {
        auto type = types.find(name);
        if (type == types.end())
            throw InputError(name, "unknown bootstrap type (agent, intel or dev_discovery)");
        bootstrap[type->second] = ReadApiData(value, name);
    }
    return bootstrap;
}

}  // namespace

vdVelborApiManager::Signatures ReadSignaturesFile(const std::string &path)
{
    return WithFileName(path, ReadSignatures);
}

BootstrapData ReadBootstrapFile(const std::string &path)
{
    return WithFileName(path, ReadBootstrap);
}
