/*
 * The users file of zeb-httpd: one user a line, "NAME:HASH:ROLES", where HASH
 * is a crypt(3) hash (yescrypt, "$y$...") and ROLES a comma-separated list
 * (possibly empty). Passwords never appear in the file. Lines that do not
 * have this form are kept as they are when the file is rewritten, and never
 * match a login.
 */
#ifndef ZEB_HTTPD_USERS_HPP
#define ZEB_HTTPD_USERS_HPP

#include <string>
#include <vector>

namespace zebhttpd {

struct User {
    std::string name;
    std::string hash;
    std::vector<std::string> roles;
};

/* A user name: 1 to 64 letters, digits, '_', '-' or '.'. */
bool validUserName(const std::string &name);

/* A role list "a,b": names of the same characters, none empty; "" is none. */
bool parseRoles(const std::string &text, std::vector<std::string> &roles);

/* The user `name` of the file at `path`; false when the file cannot be read
 * or holds no such user. */
bool findUser(const std::string &path, const std::string &name, User &user);

/* Every user of the file at `path`, in file order; false when it cannot be
 * read. */
bool readUsers(const std::string &path, std::vector<User> &users);

/* True when `password` matches the user's hash. Without a user (null) a
 * password is still hashed, so that an unknown user takes as long to refuse
 * as a wrong password; the answer is then false. */
bool checkPassword(const User *user, const std::string &password);

/* Sets the user's password (hashed with a new random salt) and roles in the
 * file at `path`, adding the user when absent. The file is replaced whole:
 * a temporary file in its directory (mode 0600) written and flushed, renamed
 * over the file, then the directory flushed; a failure leaves the old file
 * as it was. False with `error` set on failure. */
bool setUser(const std::string &path, const std::string &name, const std::string &password,
             const std::vector<std::string> &roles, std::string &error);

} // namespace zebhttpd

#endif
