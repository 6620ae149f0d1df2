import inspect
import os
import re
import subprocess
import sys

import pytest

import ombrixdb_vell as ombrix

LINE = re.compile(r"^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\]\[(INFO|WARNING|ERROR|CRITICAL)\] ")


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)


def test_module_surface():
    assert ombrix.__doc__ == "Pybind11 bindings for OmbrixDB"
    assert ombrix.set_working_dir.__doc__.splitlines()[-1] == (
        "Sets the working directory for the OmbrixDB client.")
    assert ombrix.set_working_dir("/tmp") is None
    with pytest.raises(TypeError):
        ombrix.set_working_dir(3)


@pytest.mark.parametrize("value, defined", [(None, False), ("", False), ("0", False), ("1", True)])
def test_testing_hooks_exist_only_under_the_test_suites_variable(value, defined):
    env = {k: v for k, v in os.environ.items() if k != "OMBRIX_TESTING_HOOKS"}
    if value is not None:
        env["OMBRIX_TESTING_HOOKS"] = value
    out = subprocess.run([sys.executable, "-c",
                          "import ombrixdb_vell as o; print(hasattr(o, '_set_hold_limits_for_testing'))"],
                         capture_output=True, text=True, check=True, env=env)
    assert out.stdout == f"{defined}\n"


CPP_NAME = re.compile(r"\b[A-Za-z_]\w*::[A-Za-z_]")


def surface_docstrings():
    """(where, docstring) of the module, its functions, classes and every class member."""
    yield "module", ombrix.__doc__
    for name, value in vars(ombrix).items():
        if name.startswith("__"):
            continue
        yield name, value.__doc__
        if not isinstance(value, type):
            continue
        for attr in dir(value):
            member = inspect.getattr_static(value, attr)
            if isinstance(member, property):
                parts = (member.fget, member.fset)
            else:
                parts = (getattr(value, attr),)
            for part in parts:
                if part is not None:
                    yield f"{name}.{attr}", part.__doc__


def test_signatures_name_python_classes():
    docs = list(surface_docstrings())
    assert len(docs) > 40
    leaks = [(where, doc) for where, doc in docs if doc and CPP_NAME.search(doc)]
    assert leaks == []
    signature = ombrix.Client.create_index.__doc__.splitlines()[0]
    assert "index_config: ombrixdb_vell.IndexConfig = None" in signature
    assert signature.endswith(") -> ombrixdb_vell.EncryptedIndex")


class TestLogger:
    def test_one_process_wide_instance_without_constructor(self):
        assert ombrix.Logger.instance() is ombrix.Logger.instance()
        with pytest.raises(TypeError):
            ombrix.Logger()

    def test_configure_docstring_and_refusals(self):
        doc = ombrix.Logger.configure.__doc__
        assert "Configure the logger instance." in doc
        assert "debug" in doc
        for bad in ("debug", "INFO", ""):
            with pytest.raises(ValueError, match=f"^Invalid log level: {bad}$"):
                ombrix.Logger.instance().configure(bad)

    def test_levels_and_streams_in_a_fresh_process(self):
        out = run_python(
            "import ombrixdb_vell as o\n"
            "log = o.Logger.instance()\n"
            "log.info('hidden'); log.error('shown')\n"
            "o.Logger.instance().configure('warning')\n"
            "log.info('hidden too'); log.debug('never'); log.warning('careful')\n"
        )
        assert out.stdout.count("\n") == 1 and LINE.match(out.stdout)
        assert out.stdout.endswith("[WARNING] careful\n")
        assert out.stderr.count("\n") == 1 and out.stderr.endswith("[ERROR] shown\n")

    def test_log_file_is_appended(self, tmp_path):
        path = tmp_path / "py.log"
        path.write_text("kept\n")
        run_python(
            "import ombrixdb_vell as o\n"
            f"o.Logger.instance().configure('info', True, {str(path)!r})\n"
            "o.Logger.instance().info('to file')\n"
        )
        lines = path.read_text().splitlines()
        assert lines[0] == "kept" and lines[1].endswith("[INFO] to file")

    def test_unopenable_log_file_reports_and_stays_on_console(self, tmp_path):
        path = tmp_path / "missing" / "x.log"
        out = run_python(
            "import ombrixdb_vell as o\n"
            f"o.Logger.instance().configure('info', to_file=True, file_path={str(path)!r})\n"
            "o.Logger.instance().info('console')\n"
        )
        assert out.stderr == f"[Logger] Failed to open log file: {path}\n"
        assert out.stdout.endswith("[INFO] console\n")
