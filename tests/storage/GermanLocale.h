// A German locale for tests of fixed texts: de_DE.UTF-8 compiled with localedef into a folder of
// the test's own, named by LOCPATH, and made the process's locale, as QApplication does from
// the user's environment. Nothing of the system changes.
#pragma once

#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace ferntest {

class CGermanLocale {
 public:
  // Compiles the locale once per process and switches to it, and checks that numbers now print
  // with a decimal comma; why says what went wrong.
  bool Enter(std::string& why) {
    // The compiled locale is removed when the process ends.
    struct CFolder {
      std::string path;
      ~CFolder() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
      }
    };
    static CFolder compiled{Compile(s_why)};
    const std::string& folder = compiled.path;
    if (folder.empty()) {
      why = s_why;
      return false;
    }
    ::setenv("LOCPATH", folder.c_str(), 1);
    if (::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
      why = "setlocale(de_DE.UTF-8) failed with LOCPATH=" + folder;
      return false;
    }
    m_entered = true;
    // A locale that formats like "C" would let every test of fixed texts pass for nothing.
    char probe[32];
    snprintf(probe, sizeof probe, "%.1f", 400.0);
    if (std::string(probe) != "400,0") {
      why = std::string("the locale is not German (400.0 prints as ") + probe + "), the test would prove nothing";
      return false;
    }
    return true;
  }
  ~CGermanLocale() {
    if (m_entered) ::setlocale(LC_ALL, "C");
  }

 private:
  static std::string Compile(std::string& why) {
    char pattern[] = "/tmp/fern-locale-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      why = "mkdtemp failed";
      return std::string();
    }
    const std::string folder = pattern;
    const std::string command = "localedef -i de_DE -f UTF-8 '" + folder + "/de_DE.UTF-8' >/dev/null 2>&1";
    (void)::system(command.c_str());  // localedef warns with status 1 on some tables; the result decides
    if (!std::filesystem::is_directory(folder + "/de_DE.UTF-8")) {
      why = "localedef could not compile de_DE.UTF-8";
      return std::string();
    }
    return folder;
  }

  static inline std::string s_why;
  bool m_entered = false;
};

}  // namespace ferntest
