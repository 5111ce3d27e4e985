"""The main job screens the samples, then prints the status report."""

from nerov.packages.brain import artifax
from nerov.packages.layers.layer1.stages import promptsift
from nerov_tools import demo


def test_demo_screens_every_sample_then_reports(capsys, monkeypatch, tmp_path):
    monkeypatch.setattr(promptsift, "_LOCAL_BRAIN", None)
    monkeypatch.setattr(artifax, "_resolved_core_root", artifax._UNSET)
    monkeypatch.setenv("NEROV_MODELS_DIR", str(tmp_path))
    (tmp_path / "vantor_int8.onnx").write_bytes(b"model")
    assert demo.main([]) == 0
    out = capsys.readouterr().out.splitlines()
    outcomes = [line.split()[0] for line in out[2:2 + len(demo.SAMPLES)]]
    assert outcomes == ["passed", "passed", "blocked", "blocked", "blocked", "rejected", "rejected", "passed"]
    assert out[-7:] == [
        "=== Nerov Artifax ===",
        "",
        f"  Core models  : {tmp_path}",
        "  policy_nli_int8.onnx          : NOT FOUND",
        "  judge_nli_tokenizer_v2        : NOT FOUND",
        "",
        "Set NEROV_MODELS_DIR to override resolution.",
    ]
