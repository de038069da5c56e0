"""OPC UA security of the plant server and the gateway.

Without a server certificate the server offers one endpoint without encryption and admits anonymous sessions;
it then listens on localhost only, unless told otherwise. With a certificate and its private key, it offers only
Basic256Sha256 endpoints (signed, or signed and encrypted) and admits a session only with a user name and its
password, or with a client certificate on its trusted list; anonymous sessions are refused. No session is ever
an administrator, so the access levels of the nodes (CVs and heartbeat read-only) hold for every client.
"""

import hmac
import ipaddress
import os
import socket

from asyncua import ua
from asyncua.crypto import cert_gen, security_policies, uacrypto
from asyncua.crypto.permission_rules import User, UserRole
from cryptography import x509
from cryptography.hazmat.primitives.serialization import Encoding
from cryptography.x509.oid import ExtendedKeyUsageOID

SERVER_URI = "urn:corvane:plant-server"
CLIENT_URI = "urn:corvane:gateway"


class UserManager:
    """Admits sessions by password or trusted certificate (or anonymously on an open server), never as admin."""

    def __init__(self, passwords=None, trusted=(), anonymous=False):
        self._passwords = {str(k): str(v).encode() for k, v in (passwords or {}).items()}
        self._trusted = {bytes(c) for c in trusted}
        self._anonymous = anonymous

    def get_user(self, iserver, username=None, password=None, certificate=None):
        if username is not None:
            expected = self._passwords.get(username)
            given = password.encode() if isinstance(password, str) else bytes(password or b"")
            ok = expected is not None and hmac.compare_digest(expected, given)
        elif certificate:  # the X509 token's certificate (else the channel's, or empty)
            ok = bytes(certificate) in self._trusted
        else:
            ok = self._anonymous
        return User(role=UserRole.User, name=username) if ok else None


async def _der(path):
    return uacrypto.der_from_x509(await uacrypto.load_certificate(path))


async def secure_server(server, certificate=None, private_key=None, users=None, trusted=()):
    """Set the endpoints and who may open a session on an asyncua ``Server`` before it starts."""
    server.allow_remote_admin(False)
    if certificate is None:
        if users or trusted:
            raise ValueError("passwords and trusted certificates need a server certificate and private key")
        server.set_security_policy([ua.SecurityPolicyType.NoSecurity])
        server.set_identity_tokens([ua.AnonymousIdentityToken])
        server.iserver.set_user_manager(UserManager(anonymous=True))
        return
    if private_key is None:
        raise ValueError("a server certificate needs its private key")
    if not (users or trusted):
        raise ValueError("a secure server needs users with passwords or trusted client certificates")
    await server.load_certificate(str(certificate))
    await server.load_private_key(str(private_key))
    await server.set_application_uri(SERVER_URI)
    server.set_security_policy([ua.SecurityPolicyType.Basic256Sha256_SignAndEncrypt,
                                ua.SecurityPolicyType.Basic256Sha256_Sign])
    tokens = ([ua.UserNameIdentityToken] if users else []) + ([ua.X509IdentityToken] if trusted else [])
    server.set_identity_tokens(tokens)
    server.iserver.set_user_manager(UserManager(users, [await _der(p) for p in trusted]))


async def secure_client(client, certificate=None, private_key=None, server_certificate=None, user=None,
                        password=None):
    """Set an asyncua ``Client`` up before it connects: encrypted channel, then password or certificate."""
    if certificate is not None:
        if private_key is None:
            raise ValueError("a client certificate needs its private key")
        client.application_uri = CLIENT_URI
        await client.set_security(security_policies.SecurityPolicyBasic256Sha256, str(certificate), str(private_key),
                                  server_certificate=None if server_certificate is None else str(server_certificate),
                                  mode=ua.MessageSecurityMode.SignAndEncrypt)
        if user is None:
            await client.load_client_certificate(str(certificate))
            await client.load_private_key(str(private_key))
    if user is not None:
        client.set_user(user)
        client.set_password(password or "")


def make_certificate(cert_path, key_path, server=False, days=365):
    """Write a self-signed application certificate (DER) and its private key (PEM) for the server or a client.

    Fine for a test bench or one site's own machines; for a plant network, use certificates your site signs.
    """
    key = cert_gen.generate_private_key()
    host = socket.gethostname()
    names = [x509.UniformResourceIdentifier(SERVER_URI if server else CLIENT_URI), x509.DNSName(host),
             x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1"))]
    use = [ExtendedKeyUsageOID.SERVER_AUTH] if server else [ExtendedKeyUsageOID.CLIENT_AUTH]
    cert = cert_gen.generate_self_signed_app_certificate(key, "corvane plant server" if server else "corvane gateway",
                                                         {}, names, use, days=days)
    with open(os.open(key_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "wb") as f:
        f.write(cert_gen.dump_private_key_as_pem(key))
    with open(cert_path, "wb") as f:
        f.write(cert.public_bytes(Encoding.DER))
