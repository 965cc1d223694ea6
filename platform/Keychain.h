// Generic passwords (service, account) in the user's Secret Service, the
// keychain of this platform: find, add and delete.
//
// Service and account names are Mac Roman bytes; they are stored as UTF-8
// attributes "service" and "account" of this platform's own schema, in the
// default collection. Password bytes are stored as they are, so any bytes
// round-trip.
//
// A keychain that cannot be reached is an error status, never a crash or a
// hang: no session bus or no Secret Service gives errSecNotAvailable, and so
// does a service that does not answer within five seconds; a locked
// collection or item gives errSecInteractionNotAllowed, because these calls
// never ask the user to unlock anything. Each such failure writes one line to
// standard error. Thread-safe.
#pragma once

#include "platform/MacTypes.h"

#include <memory>
#include <string>

enum : OSStatus {
    errSecInvalidItemRef = -25304,
    errSecNoDefaultKeychain = -25307,
};

// A found or added item; owned by the caller, freed with SecKeychainItemRelease.
using SecKeychainItemRef = struct OpaqueSecKeychainItemRef*;

void SecKeychainItemRelease(SecKeychainItemRef item);

// Finds the first generic password with this service and account in the
// search list (keychainOrArray must be null). A zero length matches any name.
// Any out pointer may be null; passwordData is freed with
// SecKeychainItemFreeContent (it carries a terminator after passwordLength
// bytes). errSecItemNotFound when there is none.
OSStatus SecKeychainFindGenericPassword(const void* keychainOrArray, UInt32 serviceNameLength,
                                        const char* serviceName, UInt32 accountNameLength,
                                        const char* accountName, UInt32* passwordLength,
                                        void** passwordData, SecKeychainItemRef* itemRef);

// Frees what a find returned (attrList is not used on this platform).
OSStatus SecKeychainItemFreeContent(void* attrList, void* data);

// Deletes the item from its keychain (the reference stays to be released).
OSStatus SecKeychainItemDelete(SecKeychainItemRef item);

// Adds a generic password to the default keychain (keychain must be null);
// errSecDuplicateItem when one with this service and account exists already.
OSStatus SecKeychainAddGenericPassword(void* keychain, UInt32 serviceNameLength,
                                       const char* serviceName, UInt32 accountNameLength,
                                       const char* accountName, UInt32 passwordLength,
                                       const void* passwordData, SecKeychainItemRef* itemRef);

namespace plat {

// A human text for a keychain status, for logs and error messages.
std::string KeychainStatusText(OSStatus status);

// The service and account (Mac Roman) an item reference names.
std::string KeychainItemService(SecKeychainItemRef item);
std::string KeychainItemAccount(SecKeychainItemRef item);

struct KeychainItemReleaser {
    void operator()(SecKeychainItemRef item) const { SecKeychainItemRelease(item); }
};
using KeychainItemPtr = std::unique_ptr<OpaqueSecKeychainItemRef, KeychainItemReleaser>;

} // namespace plat
