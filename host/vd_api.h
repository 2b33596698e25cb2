// The host's web API: bootstrap data, offered intelligence signatures and
// the request thread that performs HTTP(S) exchanges.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "vd_common.h"
#include "vd_thread.h"

class vdVelborApiData
{
public:
    enum Type : uint8_t { agent = 1, intel = 2, dev_discovery = 3 };

    // The authentication an API request carries: a bearer token, or none
    // when the token is empty.
    struct AuthMethod {
        std::string bearer_token;
    };

    // One offered intelligence signature.
    struct Signature {
        std::string tag;
        std::string format;
        uint32_t version = 0;
        std::string encryption;
        std::string path;
        json definition;
        uint64_t stamp = 0;

        bool operator==(const Signature &) const = default;
    };

    std::map<std::string, std::string> urls;
    AuthMethod auth;
};

class vdVelborApiManager
{
public:
    using Signatures = std::map<std::string, vdVelborApiData::Signature>;

    // Null while the host holds no bootstrap data of that type.
    std::shared_ptr<const vdVelborApiData> GetBootstrapData(uint8_t type) const;
    // Fills out with the offered signatures by tag (out is replaced).
    void GetIntelSignatures(Signatures &out) const;

    void SetBootstrapData(uint8_t type, std::shared_ptr<const vdVelborApiData> data);
    void SetIntelSignatures(const Signatures &signatures);

private:
    mutable std::mutex lock;
    std::map<uint8_t, std::shared_ptr<const vdVelborApiData>> bootstrap;
    Signatures signatures;
};

class vdVelborApiThread : public vdThread
{
public:
    enum Method : uint8_t { method_get = 1, method_post = 2 };

    vdVelborApiThread(const std::string &tag, const vdVelborApiData::AuthMethod &auth_method);
    ~vdVelborApiThread() override;

    // Sets the authentication applied to the following requests.
    void SetAuthMethod(const vdVelborApiData::AuthMethod &method) { auth_method = method; }

    // Performs one exchange; throws vdException on a transport failure.
    // Method 2 (POST) sends body. The previous response is cleared first.
    void Perform(uint8_t method, const std::string &url, const std::string &body = std::string());
    long GetResponseCode() const { return response_code; }

    // Receives response bytes; the default appends them to content.
    virtual void AppendContent(const char *data, size_t length) { content.append(data, length); }

    vdVelborApiData::AuthMethod auth_method;
    std::map<std::string, std::string> headers_request;
    // Lower-cased header names; a repeated header keeps its last value.
    std::map<std::string, std::string> headers_response;
    std::string content;
    std::string content_type;
    long timeout_connect = 10;  // seconds
    long timeout_total = 30;    // seconds

private:
    long response_code = 0;
};
