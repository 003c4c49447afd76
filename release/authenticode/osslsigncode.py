"""osslsigncode's verdict on whether a program's signatures chain to trusted
roots, asked of the real file and, where it holds several signatures, of
each one alone: only its exit status is read, never its wording, which
differs between versions. Its exit status says nothing about a timestamp (it
falls back to the current time when one fails), so timestamps are judged in
judging.py, their authority's chain too where roots are given."""
import os
import re
import subprocess
import tempfile

from release.authenticode import pe_signature


class Osslsigncode:
    """One osslsigncode, its version read once (None: it does not run, and
    `problem` says why)."""

    def __init__(self, path):
        self.path, self.version, self.problem = path, None, None
        if path is None:
            self.problem = "osslsigncode is not installed"
            return
        try:
            said = subprocess.run([path, "--version"], capture_output=True, text=True,
                                  errors="replace", stdin=subprocess.DEVNULL, timeout=60).stdout
        except OSError as error:
            self.problem = f"{path} does not run: {error.strerror}"
            return
        except subprocess.SubprocessError:
            self.problem = f"{path} does not answer --version"
            return
        found = re.match(r"osslsigncode (\d+)\.(\d+)", said)
        if found:
            self.version = (int(found[1]), int(found[2]))
        else:
            first = said.strip().splitlines()[0] if said.strip() else "nothing"
            self.problem = f"{path} is no osslsigncode: its --version says \"{first}\""

    def verify(self, data, found, roots=None, offline=False):
        """Whether each of the signatures found in data verifies, chain and
        timestamp, against the roots in a PEM file (None: osslsigncode's
        default store): a list of (True, None) or (False, osslsigncode's last
        error). The real file must verify (osslsigncode passes a file where
        any one signature does), and where it holds several, each signature
        in a copy holding it alone. offline: fetch no revocation lists
        (before 2.8, osslsigncode fetches none)."""
        whole = self._verify(data, roots, offline)
        if len(found) == 1:
            return [whole]
        alone = [self._verify(pe_signature.alone_in(data, s.alone), roots, offline) for s in found]
        return [verdict if not verdict[0] or whole[0] else
                (False, f"the file as a whole does not verify: {whole[1]}") for verdict in alone]

    def _verify(self, data, roots, offline):
        command = [self.path, "verify"]
        if roots:
            command += ["-CAfile", roots, "-TSA-CAfile", roots]
        if offline and self.version and self.version >= (2, 8):
            command += ["-ignore-cdp"]
        with tempfile.TemporaryDirectory() as folder:
            copy = os.path.join(folder, "program.exe")
            with open(copy, "wb") as f:
                f.write(data)
            try:
                run = subprocess.run(command + ["-in", copy], capture_output=True, text=True,
                                     errors="replace", stdin=subprocess.DEVNULL, timeout=120)
            except (OSError, subprocess.SubprocessError) as error:
                return False, str(error)
        if run.returncode == 0:
            return True, None
        # Only for a person to read: the last words of its first error line.
        output = run.stdout + run.stderr
        errors = [line for line in output.splitlines() if "error:" in line.lower()]
        return False, errors[0].rsplit(": ", 1)[-1].strip() if errors else (
            f"exit status {run.returncode}")
