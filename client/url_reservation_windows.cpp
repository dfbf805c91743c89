// http.sys's URL ACLs through the HTTP Server API's configuration calls, and the record in the
// service's registry key.
#include <winsock2.h>
#include <windows.h>
#include <http.h>
#include <sddl.h>

#include <vector>

#include "error_text_windows.h"
#include "folder_check_windows.h"
#include "service_rules.h"
#include "url_reservation_windows.h"
#include "wide_windows.h"

namespace ktsensors {

namespace {

const wchar_t *const kRecordKey = L"SYSTEM\\CurrentControlSet\\Services\\" KT_SERVICE_NAME L"\\Parameters";
const wchar_t *const kRecordValue = L"UrlReservation";

// Runs `call` between HttpInitialize and HttpTerminate for configuration; its error code.
template <typename Call> ULONG Configure(Call call)
{
    HTTPAPI_VERSION version = HTTPAPI_VERSION_1;
    ULONG rc = HttpInitialize(version, HTTP_INITIALIZE_CONFIG, nullptr);
    if (rc != NO_ERROR)
        return rc;
    rc = call();
    HttpTerminate(HTTP_INITIALIZE_CONFIG, nullptr);
    return rc;
}

class HttpSysReservations : public UrlReservations {
public:
    unsigned long Query(const std::string &url, std::string *sddl) override
    {
        std::wstring wide = Wide(url);
        HTTP_SERVICE_CONFIG_URLACL_QUERY query = {};
        query.QueryDesc = HttpServiceConfigQueryExact;
        query.KeyDesc.pUrlPrefix = &wide[0];
        std::vector<ULONGLONG> answer(512);
        return Configure([&] {
            ULONG size = 0, rc;
            while ((rc = HttpQueryServiceConfiguration(nullptr, HttpServiceConfigUrlAclInfo, &query, sizeof query,
                                                       answer.data(), (ULONG)(answer.size() * sizeof(ULONGLONG)), &size,
                                                       nullptr)) == ERROR_INSUFFICIENT_BUFFER &&
                   size > answer.size() * sizeof(ULONGLONG))
                answer.resize(size / sizeof(ULONGLONG) + 1);
            const HTTP_SERVICE_CONFIG_URLACL_SET *found = (const HTTP_SERVICE_CONFIG_URLACL_SET *)answer.data();
            if (rc == NO_ERROR)
                *sddl = found->ParamDesc.pStringSecurityDescriptor ? Utf8(found->ParamDesc.pStringSecurityDescriptor) : "";
            return rc;
        });
    }

    unsigned long Add(const std::string &url, const std::string &sddl) override
    {
        std::wstring wideUrl = Wide(url), wideSddl = Wide(sddl);
        HTTP_SERVICE_CONFIG_URLACL_SET acl = {};
        acl.KeyDesc.pUrlPrefix = &wideUrl[0];
        acl.ParamDesc.pStringSecurityDescriptor = &wideSddl[0];
        return Configure([&] {
            return HttpSetServiceConfiguration(nullptr, HttpServiceConfigUrlAclInfo, &acl, sizeof acl, nullptr);
        });
    }

    unsigned long Remove(const std::string &url) override
    {
        std::wstring wide = Wide(url);
        HTTP_SERVICE_CONFIG_URLACL_SET key = {};
        key.KeyDesc.pUrlPrefix = &wide[0];
        return Configure([&] {
            return HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigUrlAclInfo, &key, sizeof key, nullptr);
        });
    }

    std::string Accounts(const std::string &sddl) override
    {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(Wide(sddl).c_str(), SDDL_REVISION_1, &descriptor, nullptr))
            return "accounts it names";
        BOOL present = FALSE, defaulted = FALSE;
        PACL acl = nullptr;
        std::string accounts;
        if (GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) && present && acl)
            for (DWORD i = 0; i < acl->AceCount; ++i) {
                ACE_HEADER *ace = nullptr;
                if (GetAce(acl, i, (void **)&ace) && ace->AceType == ACCESS_ALLOWED_ACE_TYPE)
                    accounts += (accounts.empty() ? "" : ", ") + AccountName((PSID)&((ACCESS_ALLOWED_ACE *)ace)->SidStart);
            }
        LocalFree(descriptor);
        return accounts.empty() ? "nobody" : accounts;
    }

    std::string ErrorText(unsigned long code) override { return ktsensors::ErrorText(code); }

    std::string Recorded() override
    {
        wchar_t url[512];
        DWORD size = sizeof url - sizeof *url, type = 0;
        LONG rc = RegGetValueW(HKEY_LOCAL_MACHINE, kRecordKey, kRecordValue, RRF_RT_REG_SZ, &type, url, &size);
        return rc == ERROR_SUCCESS ? Utf8(url) : "";
    }

    bool Record(const std::string &url) override
    {
        if (url.empty()) {
            LONG rc = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kRecordKey);
            return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
        }
        std::wstring wide = Wide(url);
        HKEY key;
        LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                  nullptr, &key, nullptr);
        if (rc == ERROR_SUCCESS) {
            rc = RegSetValueExW(key, kRecordValue, 0, REG_SZ, (const BYTE *)wide.c_str(),
                                (DWORD)((wide.size() + 1) * sizeof(wchar_t)));
            RegCloseKey(key);
        }
        return rc == ERROR_SUCCESS;
    }
};

} // namespace

std::unique_ptr<UrlReservations> MakeHttpSysReservations() { return std::make_unique<HttpSysReservations>(); }

} // namespace ktsensors
