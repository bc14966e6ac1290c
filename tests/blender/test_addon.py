"""The Blender add-on in Debian's Blender, headless: each check of
addon_checks.py in a Blender of its own (--factory-startup, the add-on
installed from the zip `make` builds into a user folder of the test's own)."""
import os
import shutil
import subprocess

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ZIP = os.environ.get("GLOMORA_BLENDER_ADDON", "")
TOOL = os.environ.get("GLOMORA_TEST_TOOL", "")
CHECKS = ["enables", "particles_mesh_as_the_module_does", "stepping_frames_carries_the_field",
          "particle_velocity_and_size_are_carried", "bake_writes_the_files_of_glomora_run",
          "a_bad_parameter_shows_the_modules_message"]


@pytest.fixture(scope="module", autouse=True)
def blender():
    if not shutil.which("blender"):
        # CI sets GLOMORA_BLENDER_DEPS: there Blender must be there.
        if os.environ.get("GLOMORA_BLENDER_DEPS"):
            pytest.fail("GLOMORA_BLENDER_DEPS is set but blender is not installed")
        pytest.skip("the Blender add-on is not tested: blender is not installed "
                    "(GLOMORA_BLENDER_DEPS=1 scripts/setup.sh installs it)")
    assert os.path.isfile(ZIP), "the add-on's zip is missing: " + ZIP


@pytest.mark.parametrize("check", CHECKS)
def test_addon(check, tmp_path):
    environment = dict(os.environ, BLENDER_USER_SCRIPTS=str(tmp_path / "scripts"),
                       BLENDER_USER_CONFIG=str(tmp_path / "config"), HOME=str(tmp_path))
    done = subprocess.run(["blender", "-b", "--factory-startup", "--python-exit-code", "1",
                           "--python", os.path.join(HERE, "addon_checks.py"), "--", ZIP, check, str(tmp_path), TOOL],
                          capture_output=True, text=True, env=environment, timeout=600)
    assert done.returncode == 0 and "glomora add-on check passed: " + check in done.stdout, \
        done.stdout[-4000:] + done.stderr[-4000:]
