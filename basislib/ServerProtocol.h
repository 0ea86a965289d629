#pragma once

// The main-server protocol: every request name, record key and push name that
// the client's server commands and wivora-server share. Both sides include
// this header so a name can only be spelt one way.
//
// Conventions of the protocol:
// - A request is a KvrConfig record with a fresh "ID" and "command" set to one
//   of the request names below; every reply carries the request's "ID", the
//   request's "command" and the result flag (KvrConfig::SetResult /
//   checkResult). Pushes carry a fresh "ID" and their own "command".
// - Only pushes begin with "Local::" or "WebLocal::"; no request or reply does.
// - User names match without regard to case and come back in lower case.
// - Text values are UTF-8; times are ISO 8601 in UTC; numbers are decimal text.
// - Requests the server cannot carry out (unknown name, missing or malformed
//   keys, not logged in) get a reply with the result flag false.

namespace ServerProtocol {

// ---------------------------------------------------------------- ports, times
inline constexpr int DefaultTcpPort = 2004;
inline constexpr int DefaultUdpPort = 2004;
inline constexpr int DefaultHttpPort = 8080;
// How long a client waits for the reply to one request.
inline constexpr int RequestTimeoutMs = 10000;
// A tunnel nobody joins within this time is dropped.
inline constexpr int TunnelJoinTimeoutMs = 30000;
// At most this many users come back from one FindUser.
inline constexpr int MaxFindResults = 50;

// ---------------------------------------------------------------- common keys
inline constexpr char KeyId[] = "ID";
inline constexpr char KeyCommand[] = "command";
inline constexpr char KeyUserName[] = "username";    // a user name (request or push)
inline constexpr char KeyPassword[] = "password";
inline constexpr char KeyStatus[] = "status";        // decimal status number; "0" = offline
inline constexpr char KeyTime[] = "time";            // ISO 8601, UTC (Qt::ISODate)
inline constexpr char KeyPublicKey[] = "publickey";  // PEM text
inline constexpr char KeySender[] = "sender";        // the user a relayed record or a push comes from
// The routing keys a receiving host stamps on every record it takes in; a
// record loses whatever keys with this prefix it carried before (on the
// server's relay too).
inline constexpr char RoutingKeyPrefix[] = "Wivora::";
inline constexpr char RoutingKeySender[] = "Wivora::sender";             // the peer's user name
inline constexpr char RoutingKeyConnection[] = "Wivora::connection";     // "0" peer link, "1" server-mode link
inline constexpr char RoutingKeyConnectionId[] = "Wivora::connectionID"; // the link's identifier
// Value of KeyStatus for an offline (or invisible) user.
inline constexpr char StatusOffline[] = "0";
// Separator of user lists ("a,b,": every name is followed by one).
inline constexpr char UserListSeparator = ',';

// ---------------------------------------------------------------- keep-alive
// "ping" → "pong" (same "ID", result true). Answered on every link, also
// before a login or handshake.
inline constexpr char Ping[] = "ping";
inline constexpr char Pong[] = "pong";

// ---------------------------------------------------------------- session (main link)
// {username, password} → result. Binds the link to the user; the user goes
// online with its stored status. A second login of the same user pushes
// PushLogout on the older link. After repeated wrong passwords on an account
// or from an address, and while the server's password checks are full, a
// login is refused unchecked (result false with a "reason" for people).
inline constexpr char Login[] = "Server::Login";
// {status} → result. Contacts who are online receive PushUserStatusChanged.
inline constexpr char UpdateUserStatus[] = "Server::UpdateUserStatus";
// {addresses ("a,b"), port} → {externalIp} (the link's peer address as the server sees it).
inline constexpr char SendHostInformation[] = "Server::SendHostInformation";
inline constexpr char KeyAddresses[] = "addresses";
inline constexpr char KeyPort[] = "port";
inline constexpr char KeyExternalIp[] = "externalIp";
// → {account}: the stored account text.
inline constexpr char GetAccount[] = "Server::GetAccount";
// {account} → result; the save time becomes now. An account text over
// MaxAccountTextBytes is refused with a "reason" and the stored one kept.
inline constexpr char SaveAccount[] = "Server::SaveAccount";
inline constexpr char KeyAccount[] = "account";
// → {time}: when the account text was last saved.
inline constexpr char GetLastAccountSaveTime[] = "Server::GetLastAccountSaveTime";
// {password} → result. The stored account text stays as the client saves it.
inline constexpr char SetPassword[] = "Server::SetPassword";
// {vcard: the tree's text form} → result. A vCard over MaxVCardBytes, or
// with an "avatar" over MaxAvatarBytes, is refused with a "reason" and the
// stored one kept.
inline constexpr char UpdateVCard[] = "Server::UpdateVCard";
inline constexpr char KeyVCard[] = "vcard";
inline constexpr char KeyAvatar[] = "avatar"; // the vCard's picture: PNG bytes

// Caps on the texts a user stores on the server, in bytes as sent. The client
// scales a picture to 140x140 and writes PNG: even incompressible RGBA stays
// under 80 KB, so an avatar gets 256 KiB. The vCard's text is Base64 (4/3) of
// that avatar and a few short fields: at most about 110 KB real, 512 KiB
// allowed. The account text holds the key pair, settings and every contact's
// copied vCard, Base64 twice over (16/9): some 3 MB for fifty contacts with
// photo avatars (about 35 KB each); 12 MiB is four times that and still fits
// one frame (TcpConnection::MaxFrameSize), so the refusal comes back as a reply.
inline constexpr int MaxAvatarBytes = 256 * 1024;
inline constexpr int MaxVCardBytes = 512 * 1024;
inline constexpr int MaxAccountTextBytes = 12 * 1024 * 1024;
// {username: own name, contact} → result: adds / removes the relation that
// status pushes follow. Own name must be the link's logged-in user.
inline constexpr char ConnectToUser[] = "Server::ConnectToUser";
inline constexpr char DisconnectFromUser[] = "Server::DisconnectFromUser";
inline constexpr char KeyContact[] = "contact";
// → {users: "a,b,"}: online users related to the caller.
inline constexpr char GetConnectedUsers[] = "Server::GetConnectedUsers";
inline constexpr char KeyUsers[] = "users";
// {username} → {addresses, tcpPort} and result true; an offline or unknown
// user gives result false and neither key.
inline constexpr char GetUserHostInfo[] = "Server::GetUserHostInfo";
inline constexpr char KeyTcpPort[] = "tcpPort";

// ---------------------------------------------------------------- handshake
// Answered by the server exactly as a peer client answers them on a direct link.
// → {authstring: fresh random challenge, kept per link} and result true.
inline constexpr char GetAuthenticationString[] = "User::GetAuthenticationString";
// {username, authstring: RSA-SHA256 signature of the challenge} → result.
// Refused without a prior challenge on the link; a challenge is used once.
inline constexpr char AuthenticateUser[] = "User::AuthenticateUser";
inline constexpr char KeyAuthString[] = "authstring";

// ---------------------------------------------------------------- tunnels
// {username: own (the link's authenticated or logged-in user), peer,
// servermode: "1" when the initiator asked for a server-mode link} → result,
// at once. The peer receives PushInitTunnelConnection; the server keeps the
// initiator's records until the peer joins.
inline constexpr char InitTunnelConnection[] = "Server::InitTunnelConnection";
inline constexpr char KeyPeer[] = "peer";
inline constexpr char KeyServerMode[] = "servermode";
// {tunelid} → result. The id is single-use; after a true result every record
// on this link goes to the initiator's link and back.
inline constexpr char AcceptTunnelConnection[] = "Server::AcceptTunnelConnection";
inline constexpr char KeyTunnelId[] = "tunelid";  // spelt as the client reads it
// Tunnels one user may hold to another who has not made them a contact: a
// stranger only reaches what a conversation needs (a peer link and a
// server-mode link, each maybe being replaced). Server and client both hold
// strangers to it.
inline constexpr int MaxTunnelsFromStranger = 4;

// ---------------------------------------------------------------- relay
// → {record: binary form of the head of the caller's queue, sender: the
// lower-case name of the user whose main link relayed it ("" for records
// queued before senders were kept)} and result true, or result false and no
// "record" when the queue is empty. The head is removed, unless the request
// carries "keep" = "1": the head then stays until DeleteExchangeCommand names
// its "exchangeid", given in the reply, so a receiver that ends before it has
// stored the record gets it again; with "after" = an exchangeid it is the
// first kept record after that one, so a receiver can store several before it
// deletes them. The sender is the server's word, unlike any name inside the
// record.
inline constexpr char GetExchangeCommand[] = "Server::GetExchangeCommand";
inline constexpr char KeyKeep[] = "keep";
inline constexpr char KeyAfter[] = "after";
inline constexpr char KeyExchangeId[] = "exchangeid";
// {exchangeid} → result true once no record of the caller's queue has that id
// (also when it was deleted before).
inline constexpr char DeleteExchangeCommand[] = "Server::DeleteExchangeCommand";
// {receiver, record: binary form} → result. Appended to the receiver's queue
// without its "Wivora::" keys; an online receiver gets PushExchangeMessageAvailable.
// A record over the receiver's or the sender's byte quota is refused: result
// false with a "reason" text.
inline constexpr char SendExchangeCommand[] = "Server::SendExchangeCommand";
inline constexpr char KeyReceiver[] = "receiver";
inline constexpr char KeyRecord[] = "record";
inline constexpr char KeyReason[] = "reason"; // why a request was refused, for people
// Pushed by the client (no reply): the server answers with
// PushExchangeMessageAvailable when the caller's queue is not empty.
inline constexpr char ExchangeCommandTrigger[] = "User::GetExchangeCommandTrigger";

// ---------------------------------------------------------------- queries
// These also work on a short connection with no login.
// {users: "a,b," or one bare name} → {"user::a": status, ...}; unknown users
// are absent, offline users "0".
inline constexpr char GetUserStatus[] = "Server::GetUserStatus";
inline constexpr char UserStatusKeyPrefix[] = "user::";
// {username} → {vcard: tree text} and result true; unknown user → result
// false. A known user who never sent a vCard gets an empty "vcard".
inline constexpr char GetUserVCard[] = "Server::GetUserVCard";
// {text} → {count, "match::0" .. "match::<count-1>"}: each value the binary
// form of a record {username, fullName, city, country}. Matches the user name
// and the vCard's full name, without regard to case; an empty text matches
// nobody.
inline constexpr char FindUser[] = "Server::FindUser";
inline constexpr char KeyText[] = "text";
inline constexpr char KeyCount[] = "count";
inline constexpr char MatchKeyPrefix[] = "match::";
inline constexpr char KeyFullName[] = "fullName";
inline constexpr char KeyCity[] = "city";
inline constexpr char KeyCountry[] = "country";
// {platform} → {plugins: tree text}; each child of the tree is one plug-in
// with "Name", "Description", "Path" (the download address). Empty tree text
// when nothing is published.
inline constexpr char GetPlugins[] = "Server::GetPlugins";
inline constexpr char KeyPlatform[] = "platform";
inline constexpr char KeyPlugins[] = "plugins";
inline constexpr char PluginKeyName[] = "Name";
inline constexpr char PluginKeyDescription[] = "Description";
inline constexpr char PluginKeyPath[] = "Path";
// {platform, build} → {url}: a newer client installer, or "" when none.
inline constexpr char CheckClientUpdate[] = "Server::CheckClientUpdate";
inline constexpr char KeyBuild[] = "build";
inline constexpr char KeyUrl[] = "url";
// {name, platform, version} → {url}: a newer plug-in file, or "" when none.
inline constexpr char CheckPluginUpdate[] = "Server::CheckPluginUpdate";
inline constexpr char KeyName[] = "name";
inline constexpr char KeyVersion[] = "version";
// → {time}: the server's clock.
inline constexpr char GetTime[] = "Server::GetTime";
// → {publickey}: the server's own public key.
inline constexpr char GetServerPublicKey[] = "Server::GetServerPublicKey";
// {username} → {publickey} and result true; unknown user → result false, "".
inline constexpr char GetUserPublicKey[] = "Server::GetUserPublicKey";

// ---------------------------------------------------------------- pushes (server → client)
inline constexpr char LocalPrefix[] = "Local::";
inline constexpr char WebLocalPrefix[] = "WebLocal::";
// No keys: the relay queue of the user holds records.
inline constexpr char PushExchangeMessageAvailable[] = "Local::ExchangeMessageAvailable";
// {username, status}: a related user changed status ("0" when it went offline).
inline constexpr char PushUserStatusChanged[] = "Local::userStatusChanged";
// {sender, tunelid, servermode}: a peer asked for a tunnel to this user;
// servermode is copied from its request.
inline constexpr char PushInitTunnelConnection[] = "Local::InitTunnelConnection";
// {sessionid, sender}: a peer joined a UDP session with this user.
inline constexpr char PushInitUdpConnection[] = "Local::InitUdpConnection";
inline constexpr char KeySessionId[] = "sessionid";
// No keys: this session ends (the user logged in elsewhere).
inline constexpr char PushLogout[] = "Local::Logout";

}  // namespace ServerProtocol
