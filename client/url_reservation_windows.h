/* The service's URL reservation in http.sys, as both of its installers make and remove it
   (ktsensors.exe --install-service and the MSI's custom actions). Plain C; link httpapi, and
   include it before windows.h (http.h needs winsock2.h first). */
#ifndef KTSENSORS_URL_RESERVATION_WINDOWS_H
#define KTSENSORS_URL_RESERVATION_WINDOWS_H

#include <winsock2.h>
#include <windows.h>
#include <http.h>

/* Who may take the service's URL: LocalSystem, the service's account (execute, as netsh http
   add urlacl grants "listen"). */
#define KT_SERVICE_URL_SDDL L"D:(A;;GX;;;SY)"

/* Removes the reservation of `url`; NO_ERROR, or the error (ERROR_FILE_NOT_FOUND: none). */
static inline ULONG KtUnreserveUrl(const wchar_t *url)
{
    HTTP_SERVICE_CONFIG_URLACL_SET key;
    HTTPAPI_VERSION version = HTTPAPI_VERSION_1;
    ULONG rc = HttpInitialize(version, HTTP_INITIALIZE_CONFIG, NULL);
    ZeroMemory(&key, sizeof key);
    key.KeyDesc.pUrlPrefix = (PWSTR)url;
    if (rc == NO_ERROR) {
        rc = HttpDeleteServiceConfiguration(NULL, HttpServiceConfigUrlAclInfo, &key, sizeof key, NULL);
        HttpTerminate(HTTP_INITIALIZE_CONFIG, NULL);
    }
    return rc;
}

/* Reserves `url` for the service's account, replacing a reservation there (an earlier install's,
   or another program's); NO_ERROR, or the error. */
static inline ULONG KtReserveUrl(const wchar_t *url)
{
    HTTP_SERVICE_CONFIG_URLACL_SET acl;
    HTTPAPI_VERSION version = HTTPAPI_VERSION_1;
    ULONG rc;
    ZeroMemory(&acl, sizeof acl);
    acl.KeyDesc.pUrlPrefix = (PWSTR)url;
    acl.ParamDesc.pStringSecurityDescriptor = (PWSTR)KT_SERVICE_URL_SDDL;
    rc = HttpInitialize(version, HTTP_INITIALIZE_CONFIG, NULL);
    if (rc != NO_ERROR)
        return rc;
    rc = HttpSetServiceConfiguration(NULL, HttpServiceConfigUrlAclInfo, &acl, sizeof acl, NULL);
    HttpTerminate(HTTP_INITIALIZE_CONFIG, NULL);
    if (rc == ERROR_ALREADY_EXISTS && KtUnreserveUrl(url) == NO_ERROR)
        return KtReserveUrl(url);
    return rc;
}

#endif
