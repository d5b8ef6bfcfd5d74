# -*- coding: utf-8 -*-
"""Ansible module: one restore into one VM through the zqrestore installed on the proxy."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: zqrestore
short_description: Restore backed-up files into a running VM through zqrestore
description:
  - Runs C(zqrestore restore) on the proxy (the host the task runs on) and returns its JSON summary.
  - The guest is named by a job file (I(job)) or by the one-command form (I(guest), I(guest_os) and a
    password source).
  - Check mode runs zqrestore's dry run; nothing in the guest changes.
  - C(changed) means that at least one entry was restored (in check mode, would be).
  - The task fails as zqrestore's exit status says; the summary comes back either way.
options:
  source:
    description: What to restore, as C(zqrestore restore SOURCE) takes it (a folder on the proxy).
    type: path
    required: true
  job:
    description: A job file. Give this or I(guest).
    type: path
  guest:
    description: The one-command form, C([user@]address[:port]).
    type: str
  guest_os:
    description: With I(guest), the guest's operating system.
    type: str
    choices: [linux, windows]
  password_file:
    description: With I(guest), a file holding the guest's password.
    type: path
  password_env:
    description: With I(guest), an environment variable of the proxy holding the guest's password.
    type: str
  password:
    description:
      - With I(guest), the password itself (from a vault). It reaches zqrestore through its environment,
        never its command line, and never appears in the task's output.
    type: str
  settings:
    description: The installation's settings file (C(--settings)).
    type: path
  destination:
    description: The folder inside the guest; wins over the job file's.
    type: str
  overwrite:
    description: When a file the guest already has is replaced.
    type: str
    choices: [never, newer, always]
  include:
    description: Take entries matching these patterns (rsync rules), in order.
    type: list
    elements: str
    default: []
  exclude:
    description: Leave out entries matching these patterns (rsync rules), in order.
    type: list
    elements: str
    default: []
  source_path:
    description: A subtree inside the source to restore.
    type: str
  zqrestore:
    description: The zqrestore program.
    type: path
    default: zqrestore
  timeout:
    description: Seconds the restore may take before it is stopped.
    type: int
    default: 86400
"""

RETURN = r"""
summary:
  description: zqrestore's JSON summary (for a dry run, the plan of what would be done).
  type: dict
  returned: when zqrestore wrote one
rc:
  description: zqrestore's exit status.
  type: int
  returned: always
"""

import json
import os
import signal
import subprocess

from ansible.module_utils.basic import AnsibleModule

# The variable through which a password given to the module reaches zqrestore.
PASSWORD_VARIABLE = "ZQ_ANSIBLE_GUEST_PASSWORD"

EXIT_MEANINGS = {
    1: "entries failed or were not tried",
    2: "zqrestore refused the command line, job or source",
    3: "the job was refused or the guest could not be reached",
    4: "zqrestore could not run the job on the proxy",
    130: "interrupted",
    143: "interrupted",
}


def build_command(params, check_mode):
    command = [params["zqrestore"]]
    if params["settings"]:
        command += ["--settings", params["settings"]]
    command += ["restore", "--quiet", "--progress", "never", "--summary-json", "-"]
    if params["job"]:
        command += ["--job", params["job"]]
    if params["guest"]:
        command += ["--guest", params["guest"]]
    if params["guest_os"]:
        command += ["--guest-os", params["guest_os"]]
    if params["password_file"]:
        command += ["--password-file", params["password_file"]]
    if params["password_env"]:
        command += ["--password-env", params["password_env"]]
    elif params["password"] is not None:
        command += ["--password-env", PASSWORD_VARIABLE]
    for name, option in (("destination", "--destination"), ("overwrite", "--overwrite"),
                         ("source_path", "--source-path")):
        if params[name]:
            command += [option, params[name]]
    for pattern in params["include"]:
        command += ["--include", pattern]
    for pattern in params["exclude"]:
        command += ["--exclude", pattern]
    if check_mode:
        command.append("--dry-run")
    command += ["--", params["source"]]
    return command


def main():
    module = AnsibleModule(
        argument_spec=dict(
            source=dict(type="path", required=True),
            job=dict(type="path"),
            guest=dict(type="str"),
            guest_os=dict(type="str", choices=["linux", "windows"]),
            password_file=dict(type="path", no_log=False),
            password_env=dict(type="str", no_log=False),
            password=dict(type="str", no_log=True),
            settings=dict(type="path"),
            destination=dict(type="str"),
            overwrite=dict(type="str", choices=["never", "newer", "always"]),
            include=dict(type="list", elements="str", default=[]),
            exclude=dict(type="list", elements="str", default=[]),
            source_path=dict(type="str"),
            zqrestore=dict(type="path", default="zqrestore"),
            timeout=dict(type="int", default=86400),
        ),
        required_one_of=[["job", "guest"]],
        mutually_exclusive=[["job", "guest"], ["password_file", "password_env", "password"]],
        required_by={"guest_os": "guest", "password_file": "guest", "password_env": "guest", "password": "guest"},
        supports_check_mode=True,
    )
    params = module.params
    if params["guest"] and not params["guest_os"]:
        module.fail_json(msg="guest needs guest_os: linux or windows", rc=2)
    command = build_command(params, module.check_mode)
    environment = dict(os.environ)
    if params["password"] is not None and not params["password_env"]:
        environment[PASSWORD_VARIABLE] = params["password"]
    try:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=environment, start_new_session=True)
    except OSError as error:
        module.fail_json(msg="cannot run %s: %s" % (params["zqrestore"], error), rc=127)
    try:
        out, err = process.communicate(timeout=params["timeout"])
    except subprocess.TimeoutExpired:
        # As on Ctrl-C: the entry in flight finishes, then the job ends cleanly; a second request
        # stops the entry too, and a process that still lingers is killed.
        os.killpg(process.pid, signal.SIGINT)
        try:
            out, err = process.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGINT)
            try:
                out, err = process.communicate(timeout=60)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                out, err = process.communicate()
        module.fail_json(msg="zqrestore ran longer than %d s and was stopped" % params["timeout"],
                         rc=process.returncode, stderr=err.decode("utf-8", "replace"))
    rc = process.returncode
    stderr = err.decode("utf-8", "replace")
    try:
        summary = json.loads(out.decode("utf-8", "replace")) if out.strip() else None
    except ValueError:
        summary = None
    result = dict(rc=rc, summary=summary, stderr=stderr, command=command)
    if summary is not None:
        restored = summary.get("restoredFiles", 0) + summary.get("restoredFolders", 0)
        result["changed"] = restored > 0
    else:
        result["changed"] = False
    if rc != 0:
        reason = EXIT_MEANINGS.get(rc, "zqrestore ended with status %d" % rc)
        if summary and summary.get("headline"):
            reason = summary["headline"] + (": " + summary["detail"] if summary.get("detail") else "")
        elif stderr.strip():
            reason = stderr.strip().splitlines()[0]
        module.fail_json(msg=reason, **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
