#include "platform/tls.h"

#define SECURITY_WIN32
#include <windows.h>
#include <winsock2.h>

#include <ws2tcpip.h>

#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/socket_error_text.h"
#include "platform/tcp.h"
#include "platform/wide_text_win32.h"

// SChannel works on byte buffers here, never on the socket: the TcpConnection carries the bytes with its
// bounded waits. The certificate is checked by this code after the handshake (manual validation): the chain
// is built on the machine's store, with the CA file's certificates as further trusted roots (a root counts as
// one of them only when it is the very certificate), every error the chain engine reports fails it, and the
// SSL policy checks the host name. Nothing of the caller's is encrypted before that check has passed. A
// server that asks for a client certificate is answered without one.
// The protocol is TLS 1.2: a later version needs the SCH_CREDENTIALS interface of newer Windows releases.

namespace telva::platform {
namespace {

constexpr DWORD kIgnoreUnknownCa = 0x00000100;    // SECURITY_FLAG_IGNORE_UNKNOWN_CA of the SSL policy
constexpr DWORD kIgnoreNameMismatch = 0x00001000; // SECURITY_FLAG_IGNORE_CERT_CN_INVALID of the SSL policy
constexpr std::size_t kMaxHandshakeBytes = 256 * 1024;

std::string Hex(long value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

// Whether `bytes` begin like a TLS record: a content type 20..24 and a major version 3.
bool LooksLikeTls(const std::string& bytes) {
    const auto type = static_cast<unsigned char>(bytes[0]);
    return type >= 20 && type <= 24 && (bytes.size() < 2 || bytes[1] == 3);
}

// The address bytes of `host` when it is an IPv4 or IPv6 literal; empty for a name.
std::string AddressBytes(const std::string& host) {
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return std::string(reinterpret_cast<const char*>(&v4), sizeof v4);
    }
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        return std::string(reinterpret_cast<const char*>(&v6), sizeof v6);
    }
    return {};
}

// Whether the certificate's subject alternative names hold the IP address `address` (its bytes). The SSL
// policy matches names only on some systems, so an address is matched here on all of them.
bool CertificateNamesAddress(PCCERT_CONTEXT certificate, const std::string& address) {
    const CERT_INFO* info = certificate->pCertInfo;
    const CERT_EXTENSION* extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (extension == nullptr) {
        return false;
    }
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size) ||
        names == nullptr) {
        return false;
    }
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
                entry.IPAddress.cbData == address.size() &&
                std::memcmp(entry.IPAddress.pbData, address.data(), address.size()) == 0;
    }
    LocalFree(names);
    return found;
}

// Reads the whole file at `path` (UTF-8); none when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& content) {
    const HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    char buffer[16 * 1024];
    DWORD count = 0;
    bool ok = true;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &count, nullptr) != 0) && count > 0) {
        content.append(buffer, count);
        if (content.size() > 16 * 1024 * 1024) {
            ok = false;
            break;
        }
    }
    CloseHandle(file);
    return ok;
}

// A memory store holding every certificate of the PEM file at `path`; null when the file cannot be read or
// holds none.
HCERTSTORE LoadCaFile(const std::string& path) {
    std::string pem;
    if (!ReadWholeFile(path, pem)) {
        return nullptr;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (store == nullptr) {
        return nullptr;
    }
    const std::string begin = "-----BEGIN CERTIFICATE-----";
    const std::string end = "-----END CERTIFICATE-----";
    int added = 0;
    for (std::size_t start = pem.find(begin); start != std::string::npos; start = pem.find(begin, start)) {
        const std::size_t stop = pem.find(end, start);
        if (stop == std::string::npos) {
            break;
        }
        const std::string block = pem.substr(start, stop + end.size() - start);
        start = stop + end.size();
        DWORD size = 0;
        if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                                  nullptr, &size, nullptr, nullptr)) {
            continue;
        }
        std::vector<BYTE> der(size);
        if (CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                                 der.data(), &size, nullptr, nullptr) &&
            CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                             CERT_STORE_ADD_ALWAYS, nullptr)) {
            ++added;
        }
    }
    if (added == 0) {
        CertCloseStore(store, 0);
        return nullptr;
    }
    return store;
}

// Whether `store` holds `certificate` itself: the same encoding, byte for byte. A certificate that only
// shares its issuer and serial number (another key under the same name) is not it.
bool StoreHoldsExactly(HCERTSTORE store, PCCERT_CONTEXT certificate) {
    PCCERT_CONTEXT candidate = nullptr;
    while ((candidate = CertEnumCertificatesInStore(store, candidate)) != nullptr) {
        if (candidate->cbCertEncoded == certificate->cbCertEncoded &&
            std::memcmp(candidate->pbCertEncoded, certificate->pbCertEncoded, certificate->cbCertEncoded) ==
                0) {
            CertFreeCertificateContext(candidate);
            return true;
        }
    }
    return false;
}

// The verdict on a chain's trust status, `trust` being its error bits (an untrusted root already cleared
// when the root is one of the CA file's). Every bit left fails the check, as every error fails OpenSSL's,
// but for a validity period that reaches beyond its issuer's, which neither OpenSSL nor the SSL policy
// rejects.
TlsStatus ChainVerdict(const CERT_SIMPLE_CHAIN* simple, DWORD trust) {
    trust &= ~static_cast<DWORD>(CERT_TRUST_IS_NOT_TIME_NESTED);
    const DWORD elements = simple != nullptr ? simple->cElement : 0;
    if (trust == 0) {
        return {};
    }
    if ((trust & CERT_TRUST_IS_PARTIAL_CHAIN) != 0) {
        return TlsStatus::Failed(TlsFailure::kUnknownIssuer);
    }
    if ((trust & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0) {
        return TlsStatus::Failed(elements <= 1 ? TlsFailure::kSelfSigned : TlsFailure::kUnknownIssuer);
    }
    if ((trust & CERT_TRUST_IS_NOT_SIGNATURE_VALID) != 0) {
        return TlsStatus::Failed(TlsFailure::kCertificate, "signature not valid");
    }
    if ((trust & CERT_TRUST_IS_NOT_TIME_VALID) != 0) {
        for (DWORD i = 0; i < elements; ++i) {
            const CERT_CHAIN_ELEMENT* element = simple->rgpElement[i];
            if ((element->TrustStatus.dwErrorStatus & CERT_TRUST_IS_NOT_TIME_VALID) != 0) {
                return TlsStatus::Failed(CertVerifyTimeValidity(nullptr, element->pCertContext->pCertInfo) < 0
                                             ? TlsFailure::kNotYetValid
                                             : TlsFailure::kExpired);
            }
        }
        return TlsStatus::Failed(TlsFailure::kExpired);
    }
    if ((trust & CERT_TRUST_IS_REVOKED) != 0) {
        return TlsStatus::Failed(TlsFailure::kCertificate, "revoked");
    }
    // OpenSSL's words for the two checks a CA's certificate makes on what it issues.
    if ((trust & CERT_TRUST_INVALID_BASIC_CONSTRAINTS) != 0) {
        return TlsStatus::Failed(TlsFailure::kCertificate, "invalid CA certificate");
    }
    constexpr DWORD kNameConstraints =
        CERT_TRUST_INVALID_NAME_CONSTRAINTS | CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT |
        CERT_TRUST_HAS_NOT_DEFINED_NAME_CONSTRAINT | CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT;
    if ((trust & CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT) != 0) {
        return TlsStatus::Failed(TlsFailure::kCertificate, "excluded subtree violation");
    }
    if ((trust & kNameConstraints) != 0) {
        return TlsStatus::Failed(TlsFailure::kCertificate, "permitted subtree violation");
    }
    if ((trust & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) != 0) {
        return TlsStatus::Failed(TlsFailure::kCertificate, "not for server authentication");
    }
    return TlsStatus::Failed(TlsFailure::kCertificate, "chain status " + Hex(static_cast<long>(trust)));
}

// The verdict of the SSL policy on the server's certificate for `host`.
TlsStatus VerifyServer(PCCERT_CONTEXT certificate, HCERTSTORE ca_store, const std::string& host) {
    HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (extra == nullptr) {
        return TlsStatus::Failed(TlsFailure::kCertificate, "no certificate store");
    }
    CertAddStoreToCollection(extra, certificate->hCertStore, 0, 0);
    if (ca_store != nullptr) {
        CertAddStoreToCollection(extra, ca_store, 0, 0);
    }
    char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {server_auth};
    CERT_CHAIN_PARA chain_para{};
    chain_para.cbSize = sizeof chain_para;
    chain_para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chain_para.RequestedUsage.Usage.cUsageIdentifier = 1;
    chain_para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    const BOOL built = CertGetCertificateChain(HCCE_LOCAL_MACHINE, certificate, nullptr, extra, &chain_para,
                                               0, nullptr, &chain);
    CertCloseStore(extra, 0);
    if (!built || chain == nullptr) {
        return TlsStatus::Failed(TlsFailure::kCertificate,
                                 "chain not built (" + Hex(static_cast<long>(GetLastError())) + ")");
    }

    // A chain that ends at one of the CA file's certificates is trusted as one that ends in the machine's
    // store: only then is the policy told to pass over an unknown root. The chain's own trust status is
    // judged here first, so that the verdict does not rest on the policy alone.
    const CERT_SIMPLE_CHAIN* simple = chain->cChain > 0 ? chain->rgpChain[0] : nullptr;
    const DWORD elements = simple != nullptr ? simple->cElement : 0;
    DWORD trust = chain->TrustStatus.dwErrorStatus;
    DWORD checks = 0;
    if (ca_store != nullptr && elements > 0 && (trust & CERT_TRUST_IS_UNTRUSTED_ROOT) != 0 &&
        StoreHoldsExactly(ca_store, simple->rgpElement[elements - 1]->pCertContext)) {
        checks |= kIgnoreUnknownCa;
        trust &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
    }
    TlsStatus verdict = ChainVerdict(simple, trust);
    if (const std::string address = AddressBytes(host); verdict.ok() && !address.empty()) {
        if (CertificateNamesAddress(certificate, address)) {
            checks |= kIgnoreNameMismatch;
        } else {
            verdict = TlsStatus::Failed(TlsFailure::kNameMismatch);
        }
    }
    if (!verdict.ok()) {
        CertFreeCertificateChain(chain);
        return verdict;
    }
    std::wstring server_name = Wide(host);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl_para{};
    ssl_para.cbSize = sizeof ssl_para;
    ssl_para.dwAuthType = AUTHTYPE_SERVER;
    ssl_para.fdwChecks = checks;
    ssl_para.pwszServerName = server_name.data();
    CERT_CHAIN_POLICY_PARA policy_para{};
    policy_para.cbSize = sizeof policy_para;
    policy_para.pvExtraPolicyPara = &ssl_para;
    CERT_CHAIN_POLICY_STATUS policy_status{};
    policy_status.cbSize = sizeof policy_status;
    const BOOL checked =
        CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy_para, &policy_status);
    CertFreeCertificateChain(chain);
    if (!checked) {
        return TlsStatus::Failed(TlsFailure::kCertificate, "policy not checked");
    }
    const auto error = static_cast<long>(policy_status.dwError);
    switch (error) {
    case 0:
        return {};
    case static_cast<long>(CERT_E_UNTRUSTEDROOT):
        return TlsStatus::Failed(elements <= 1 ? TlsFailure::kSelfSigned : TlsFailure::kUnknownIssuer);
    case static_cast<long>(CERT_E_CHAINING):
        return TlsStatus::Failed(TlsFailure::kUnknownIssuer);
    case static_cast<long>(CERT_E_EXPIRED):
        return TlsStatus::Failed(CertVerifyTimeValidity(nullptr, certificate->pCertInfo) < 0
                                     ? TlsFailure::kNotYetValid
                                     : TlsFailure::kExpired);
    case static_cast<long>(CERT_E_CN_NO_MATCH):
        return TlsStatus::Failed(TlsFailure::kNameMismatch);
    default:
        return TlsStatus::Failed(TlsFailure::kCertificate, "error " + Hex(error));
    }
}

} // namespace

struct TlsConnection::Engine {
    TcpConnection tcp;
    CredHandle credentials{};
    bool has_credentials = false;
    CtxtHandle context{};
    bool has_context = false;
    bool declined_certificate = false; // the server asked for a client certificate and was answered without
    SecPkgContext_StreamSizes sizes{};
    std::string incoming; // received, not yet decrypted
    std::string plain;    // decrypted, not yet handed out

    ~Engine() {
        if (has_context) {
            DeleteSecurityContext(&context);
        }
        if (has_credentials) {
            FreeCredentialsHandle(&credentials);
        }
    }

    // Sends the token SChannel allocated in `buffer`, and frees it.
    int SendToken(SecBuffer& buffer, std::uint32_t idle_ms, const Deadline& deadline) {
        int code = 0;
        if (buffer.pvBuffer != nullptr) {
            if (buffer.cbBuffer > 0) {
                code =
                    tcp.SendAll(std::string_view(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer),
                                idle_ms, deadline);
            }
            FreeContextBuffer(buffer.pvBuffer);
            buffer.pvBuffer = nullptr;
        }
        return code;
    }

    // Appends what the peer sends until `deadline` to `incoming`; `closed` when it ended.
    int Fill(const Deadline& deadline, bool& closed) {
        char buffer[16 * 1024];
        std::size_t received = 0;
        if (const int code = tcp.Receive(buffer, sizeof buffer, deadline, received); code != 0) {
            return code;
        }
        closed = received == 0;
        incoming.append(buffer, received);
        return 0;
    }

    // One step of the handshake; `incoming` is its input.
    SECURITY_STATUS Step(const std::wstring& target, SecBuffer& token_out, std::size_t& extra) {
        constexpr ULONG kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                   ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;
        const ULONG request = kRequest | (declined_certificate ? ISC_REQ_USE_SUPPLIED_CREDS : 0);
        SecBuffer input[2]{};
        input[0].BufferType = SECBUFFER_TOKEN;
        input[0].pvBuffer = incoming.data();
        input[0].cbBuffer = static_cast<unsigned long>(incoming.size());
        input[1].BufferType = SECBUFFER_EMPTY;
        SecBufferDesc input_desc{SECBUFFER_VERSION, 2, input};
        token_out = SecBuffer{};
        token_out.BufferType = SECBUFFER_TOKEN;
        SecBufferDesc output_desc{SECBUFFER_VERSION, 1, &token_out};
        ULONG attributes = 0;
        std::wstring name = target;
        const SECURITY_STATUS status = InitializeSecurityContextW(
            &credentials, has_context ? &context : nullptr, has_context ? nullptr : name.data(), request, 0,
            0, has_context ? &input_desc : nullptr, 0, has_context ? nullptr : &context, &output_desc,
            &attributes, nullptr);
        if (!has_context && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) {
            has_context = true;
        }
        if (status == SEC_I_INCOMPLETE_CREDENTIALS && has_context && !declined_certificate) {
            // The server asks for a client certificate, and this client has none (its credentials carry no
            // certificate and take none from the machine): the same input again, with only the credentials
            // supplied, answers with an empty certificate list, as OpenSSL does. A server that requires a
            // certificate then ends the handshake itself.
            declined_certificate = true;
            if (token_out.pvBuffer != nullptr) {
                FreeContextBuffer(token_out.pvBuffer);
            }
            return Step(target, token_out, extra);
        }
        extra = input[1].BufferType == SECBUFFER_EXTRA ? input[1].cbBuffer : 0;
        return status;
    }
};

TlsConnection::TlsConnection() : engine_(std::make_unique<Engine>()) {}

TlsConnection::~TlsConnection() = default;

TlsStatus TlsConnection::Connect(TcpConnection tcp, const std::string& host, const std::string& ca_file,
                                 std::uint32_t idle_ms, const Deadline& deadline) {
    engine_ = std::make_unique<Engine>();
    Engine& engine = *engine_;
    engine.tcp = std::move(tcp);
    HCERTSTORE ca_store = nullptr;
    if (!ca_file.empty() && (ca_store = LoadCaFile(ca_file)) == nullptr) {
        return TlsStatus::Failed(TlsFailure::kCaFile);
    }
    struct StoreCloser {
        HCERTSTORE store;
        ~StoreCloser() {
            if (store != nullptr) {
                CertCloseStore(store, 0);
            }
        }
    } closer{ca_store};

    SCHANNEL_CRED settings{};
    settings.dwVersion = SCHANNEL_CRED_VERSION;
    settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    wchar_t package[] = UNISP_NAME_W;
    const SECURITY_STATUS acquired =
        AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &settings, nullptr,
                                  nullptr, &engine.credentials, nullptr);
    if (acquired != SEC_E_OK) {
        return TlsStatus::Failed(TlsFailure::kHandshake, "no TLS credentials (" + Hex(acquired) + ")");
    }
    engine.has_credentials = true;

    const auto wait_failure = [](int code) {
        return code == kWsaTimedOut ? TlsStatus::Failed(TlsFailure::kTimedOut)
                                    : TlsStatus::Failed(TlsFailure::kClosed);
    };
    const std::wstring target = Wide(host);
    bool first_answer = true;
    while (true) {
        SecBuffer token{};
        std::size_t extra = 0;
        const SECURITY_STATUS status = engine.Step(target, token, extra);
        const int sent = engine.SendToken(token, idle_ms, deadline);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            // Not a whole record yet: everything stays for the next step.
        } else if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED) {
            engine.incoming.erase(0, engine.incoming.size() - extra);
            if (status == SEC_E_OK) {
                if (sent != 0) {
                    return wait_failure(sent);
                }
                break;
            }
        } else if (!first_answer && !engine.incoming.empty() && !LooksLikeTls(engine.incoming)) {
            return TlsStatus::Failed(TlsFailure::kNotTls);
        } else {
            return TlsStatus::Failed(TlsFailure::kHandshake, "SChannel " + Hex(status));
        }
        if (sent != 0) {
            return wait_failure(sent);
        }
        if (status == SEC_I_CONTINUE_NEEDED && extra > 0) {
            continue;
        }
        bool closed = false;
        if (const int code = engine.Fill(deadline.Within(idle_ms), closed); code != 0) {
            return wait_failure(code);
        }
        if (first_answer && !engine.incoming.empty()) {
            first_answer = false;
            if (!LooksLikeTls(engine.incoming)) {
                return TlsStatus::Failed(TlsFailure::kNotTls);
            }
        }
        if (closed) {
            return TlsStatus::Failed(TlsFailure::kClosed);
        }
        if (engine.incoming.size() > kMaxHandshakeBytes) {
            return TlsStatus::Failed(TlsFailure::kHandshake, "handshake too large");
        }
    }

    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesW(&engine.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK ||
        certificate == nullptr) {
        return TlsStatus::Failed(TlsFailure::kCertificate, "no certificate from the server");
    }
    TlsStatus verdict = VerifyServer(certificate, ca_store, host);
    CertFreeCertificateContext(certificate);
    if (!verdict.ok()) {
        return verdict;
    }
    if (QueryContextAttributesW(&engine.context, SECPKG_ATTR_STREAM_SIZES, &engine.sizes) != SEC_E_OK) {
        return TlsStatus::Failed(TlsFailure::kHandshake, "no stream sizes");
    }
    return {};
}

TlsStatus TlsConnection::SendAll(std::string_view bytes, std::uint32_t idle_ms, const Deadline& deadline) {
    Engine& engine = *engine_;
    const SecPkgContext_StreamSizes& sizes = engine.sizes;
    std::string record;
    while (!bytes.empty()) {
        const std::size_t piece = std::min<std::size_t>(bytes.size(), sizes.cbMaximumMessage);
        record.assign(sizes.cbHeader, '\0');
        record.append(bytes.substr(0, piece));
        record.append(sizes.cbTrailer, '\0');
        SecBuffer buffers[4]{};
        buffers[0] = {sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()};
        buffers[1] = {static_cast<unsigned long>(piece), SECBUFFER_DATA, record.data() + sizes.cbHeader};
        buffers[2] = {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes.cbHeader + piece};
        buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
        SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = EncryptMessage(&engine.context, 0, &description, 0);
        if (status != SEC_E_OK) {
            return TlsStatus::Failed(TlsFailure::kProtocol, "SChannel " + Hex(status));
        }
        const std::size_t size = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
        if (const int code = engine.tcp.SendAll(std::string_view(record.data(), size), idle_ms, deadline);
            code != 0) {
            return TlsStatus::Socket(code);
        }
        bytes.remove_prefix(piece);
    }
    return {};
}

TlsStatus TlsConnection::Receive(char* buffer, std::size_t size, const Deadline& deadline,
                                 std::size_t& received) {
    Engine& engine = *engine_;
    received = 0;
    while (engine.plain.empty()) {
        if (!engine.incoming.empty()) {
            SecBuffer buffers[4]{};
            buffers[0] = {static_cast<unsigned long>(engine.incoming.size()), SECBUFFER_DATA,
                          engine.incoming.data()};
            SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
            const SECURITY_STATUS status = DecryptMessage(&engine.context, &description, 0, nullptr);
            if (status == SEC_I_CONTEXT_EXPIRED) {
                return {}; // the peer's closing alert
            }
            if (status == SEC_E_OK) {
                std::string extra;
                for (const SecBuffer& piece : buffers) {
                    if (piece.BufferType == SECBUFFER_DATA && piece.pvBuffer != nullptr) {
                        engine.plain.append(static_cast<const char*>(piece.pvBuffer), piece.cbBuffer);
                    } else if (piece.BufferType == SECBUFFER_EXTRA && piece.pvBuffer != nullptr) {
                        extra.assign(static_cast<const char*>(piece.pvBuffer), piece.cbBuffer);
                    }
                }
                engine.incoming = std::move(extra);
                continue;
            }
            if (status != SEC_E_INCOMPLETE_MESSAGE) {
                return TlsStatus::Failed(TlsFailure::kProtocol, "SChannel " + Hex(status));
            }
        }
        bool closed = false;
        if (const int code = engine.Fill(deadline, closed); code != 0) {
            return TlsStatus::Socket(code);
        }
        if (closed) {
            // The peer ended the connection without a closing alert: the end of the answer, as over TCP.
            return {};
        }
    }
    received = std::min(size, engine.plain.size());
    std::memcpy(buffer, engine.plain.data(), received);
    engine.plain.erase(0, received);
    return {};
}

} // namespace telva::platform
