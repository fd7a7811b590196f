"""The launcher's sound through SDL's disk audio driver: the mixed output is
written to a file of 16-bit stereo samples at 44,100 Hz, which the tests
read back."""

import array
import os
import shutil
import tempfile
import unittest

from ui_harness import NORMAL, SOUND_OFF_COLOURS, Launcher, SessionTestCase, wait_until

BYTES_PER_SECOND = 44100 * 2 * 2


def samples(path, start, length):
    """16-bit samples of the file from byte offset start, length bytes."""
    with open(path, "rb") as f:
        f.seek(start)
        data = f.read(length)
    values = array.array("h")
    values.frombytes(data[: len(data) - len(data) % 2])
    return values


def peak(values):
    return max((abs(v) for v in values), default=0)


def size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


class UiAudioTest(SessionTestCase):
    def launch(self, config=None):
        folder = tempfile.mkdtemp(prefix="kvaudio-")
        self.cleanups.append(lambda: shutil.rmtree(folder, ignore_errors=True))
        audio = os.path.join(folder, "audio.raw")
        launcher = Launcher(self.session, config=config,
                            env={"SDL_AUDIODRIVER": "disk", "SDL_DISKAUDIOFILE": audio})
        launcher.audio = audio
        self.launchers.append(launcher)
        launcher.wait_window()
        return launcher

    def wait_audio_seconds(self, launcher, seconds, after=0):
        """Waits until the output holds the given seconds of sound past byte offset after."""
        target = after + int(seconds * BYTES_PER_SECOND)
        self.assertTrue(wait_until(lambda: size(launcher.audio) >= target, 60, 0.05),
                        "the audio output did not grow: " + launcher.log_text())

    def steady_peak(self, launcher):
        """Peak of one second of music, after the first second."""
        self.wait_audio_seconds(launcher, 2.5)
        return peak(samples(launcher.audio, BYTES_PER_SECOND, BYTES_PER_SECOND))

    def test_music_plays_at_start_and_stops_with_the_sound_widget(self):
        launcher = self.launch()
        loud = self.steady_peak(launcher)
        self.assertGreater(loud, 8000, "the music is audible at full volume")
        launcher.click(50, 20)
        launcher.move(250, 150)
        colour = launcher.wait_pixel(47, 12, lambda c: c == SOUND_OFF_COLOURS[NORMAL])
        self.assertEqual(colour, SOUND_OFF_COLOURS[NORMAL], "sound_off.png is shown")
        clicked_at = size(launcher.audio)
        # One second after the click (beyond the mixer's buffering) all is silent.
        self.wait_audio_seconds(launcher, 1.5, clicked_at)
        tail = samples(launcher.audio, clicked_at + BYTES_PER_SECOND, BYTES_PER_SECOND // 2)
        self.assertGreater(len(tail), 1000)
        self.assertEqual(peak(tail), 0, "silent after the sound widget")
        # Switched on again, the music continues.
        launcher.click(50, 20)
        resumed_at = size(launcher.audio)
        self.wait_audio_seconds(launcher, 1.5, resumed_at)
        self.assertGreater(peak(samples(launcher.audio, resumed_at + BYTES_PER_SECOND // 2,
                                        BYTES_PER_SECOND // 2)), 8000)

    def test_volume_50_is_half_as_loud(self):
        full = self.launch()
        full_peak = self.steady_peak(full)
        full.stop()
        self.launchers.remove(full)
        half = self.launch(config="enableAudio: true\nmusicSoundVolume: 50\n")
        half_peak = self.steady_peak(half)
        self.assertGreater(full_peak, 8000)
        ratio = half_peak / full_peak
        print(f"music peaks: full {full_peak}, volume 50 {half_peak}")
        self.assertGreater(ratio, 0.45, f"{half_peak} / {full_peak}")
        self.assertLess(ratio, 0.55, f"{half_peak} / {full_peak}")

    def test_master_switch_off_in_the_configuration_starts_silent(self):
        launcher = self.launch(config="enableAudio: false\n")
        self.wait_audio_seconds(launcher, 2.0)
        self.assertEqual(peak(samples(launcher.audio, 0, 2 * BYTES_PER_SECOND)), 0)
        self.assertEqual(launcher.pixel(47, 12), SOUND_OFF_COLOURS[NORMAL])

    def test_without_audio_device_the_switches_still_work(self):
        launcher = Launcher(self.session, env={"SDL_AUDIODRIVER": "no-such-driver"})
        self.launchers.append(launcher)
        launcher.wait_window()
        launcher.click(50, 20)
        launcher.move(250, 150)
        colour = launcher.wait_pixel(47, 12, lambda c: c == SOUND_OFF_COLOURS[NORMAL])
        self.assertEqual(colour, SOUND_OFF_COLOURS[NORMAL], "sound_off.png is shown")
        launcher.click(480, 20)
        self.assertEqual(launcher.proc.wait(timeout=30), 0)
        with open(os.path.join(launcher.home, "vandrel", "config.kvml")) as f:
            self.assertIn("enableAudio: false\n", f.read())


if __name__ == "__main__":
    unittest.main()
