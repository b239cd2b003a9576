"""Supported builds of QuarrenVelt.exe: where each host function starts and the
bytes it starts with. gen_host_image.py turns this into the stand-in's code at
those addresses; the bytes here are what the real game carries, so they must
stay exactly as they are."""

SITE_NAMES = [
    "cEngine::Run",
    "cUpdater::RunMessage",
    "cScene::RenderViewport",
    "cCamera::SetPosition",
    "cCamera::SetRotationMatrix",
    "scheduler clock",
    "cLuxInputHandler look amount",
    "cImGui::SendMousePosition",
    "cImGui::DoMouse",
    "cImGui image draw",
    "cParticleEmitter_UserData::UpdateMotion",
    "particle emitter graphics update",
    "cLuxEntity::SetMatrix",
    "entity SetVarBool",
    "entity GetMatrix",
    "entity virtual SetMatrix",
    "cMatrixf inverse",
    "cMatrixf multiply",
    "cNode3D matrix changed",
    "cBoneState SetMatrix",
    "entity-name resolver",
    "Newton transform callback",
    "cLuxProp::OnUpdate",
    "cLuxAgent::OnUpdate",
    "cLuxAgent mesh getter",
]

_COMMON = {
    0: "40 55 53 56 57 41 54 41 56 48 8D 6C 24 D8 48 81 EC 28 01 00 00 48 8B F1",
    1: "40 55 41 54 41 55 41 57 48 8B EC 48 83 EC 78 45 33 ED 0F 29 74 24 60 44",
    2: "48 89 5C 24 18 55 56 57 41 54 41 55 41 56 41 57 48 83 EC 50 48 8B 9A 80",
    3: "8B 02 4C 8D 41 10 41 89 00 8B 42 04 41 89 40 04 8B 42 08 49 8B D0 41 89",
    4: "0F 10 02 0F 11 81 F8 01 00 00 0F 10 4A 10 0F 11 89 08 02 00 00 0F 10 42",
    6: "40 53 57 48 83 EC 48 48 8B F9 0F 29 74 24 30 48 8B 89 28 01 00 00 48 8B",
    7: "48 89 5C 24 20 57 48 83 EC 40 8B 81 48 4E 00 00 48 8B F9 89 81 50 4E 00",
    8: "48 8B C4 41 54 41 56 41 57 48 81 EC C0 00 00 00 80 B9 A9 06 00 00 00 4D",
    9: "48 8B C4 48 89 58 18 48 89 70 20 55 57 41 54 41 56 41 57 48 8D A8 F8 FE",
    10: "40 55 41 56 48 8D AC 24 B8 FD FF FF 48 81 EC 48 03 00 00 48 8B 81 38 03",
    11: "48 8B C4 55 53 56 57 41 54 41 56 48 8D A8 68 FE FF FF 48 81 EC 68 02 00",
    14: "40 53 48 83 EC 20 48 8B 81 F0 08 00 00 48 8B DA 48 2B 81 E8 08 00 00 48",
    15: "48 89 5C 24 10 57 48 81 EC 20 01 00 00 48 8B 81 F0 08 00 00 48 8B DA 48",
    16: "48 89 5C 24 08 57 48 83 EC 70 48 8B F9 0F 29 74 24 60 48 8B CA 48 8B DA",
    17: "4C 8B DC 48 81 EC A8 00 00 00 F3 0F 10 6A 04 F3 0F 10 62 08 F3 0F 10 1A",
    18: "48 89 5C 24 10 48 89 6C 24 18 57 48 83 EC 60 FF 81 E0 00 00 00 48 8B F9",
    19: "0F 10 02 0F 11 41 3C 0F 10 4A 10 0F 11 49 4C 0F 10 42 20 0F 11 41 5C 0F",
    24: "48 8B 81 40 09 00 00 C3",
}

_GOG_ONLY = {
    5: "48 83 EC 28 E8 B5 01 46 00 48 2B 05 38 83 63 00",
    12: "40 53 48 81 EC B0 00 00 00 48 8B 01 48 8B D9 C6 81 CB 03 00 00 01 FF 90",
    13: "48 89 5C 24 08 57 48 83 EC 20 41 0F B6 F8 48 8B D9 E8 7A CA FE FF 40 84",
    20: "48 89 5C 24 08 48 89 6C 24 10 48 89 74 24 18 57 48 83 EC 40 48 8B 05 8D",
    21: "40 53 48 83 EC 20 48 8B DA FF 15 D9 F0 0B 00 8B 0B 4C 8B C0 89 48 48 8B",
    22: "48 89 5C 24 08 48 89 74 24 10 57 48 81 EC 80 00 00 00 44 0F 29 44 24 50",
    23: "40 57 48 83 EC 40 F3 0F 58 89 F0 03 00 00 F3 0F 10 91 EC 03 00 00 48 8B",
}

_STEAM_ONLY = {
    5: "48 83 EC 28 E8 35 05 46 00 48 2B 05 48 86 6B 00",
    12: "40 53 48 81 EC C0 00 00 00 48 C7 84 24 B0 00 00 00 FE FF FF FF 48 8B D9",
    13: "48 89 5C 24 08 57 48 83 EC 20 41 0F B6 F8 48 8B D9 E8 9A BF FE FF 40 84",
    20: "4C 8B DC 57 48 83 EC 50 49 C7 43 C8 FE FF FF FF 49 89 5B 08 49 89 6B 10",
    21: "40 53 48 83 EC 20 48 8B DA FF 15 A9 12 0E 00 8B 0B 4C 8B C0 89 48 48 8B",
    22: "48 8B C4 57 48 81 EC 90 00 00 00 48 C7 40 88 FE FF FF FF 48 89 58 08 48",
    23: "40 57 48 83 EC 50 48 C7 44 24 20 FE FF FF FF 48 89 5C 24 60 48 8B F9 F3",
}

_GOG_RVAS = [0x318130, 0x319FD0, 0x3B5AD0, 0x38D640, 0x38D710, 0x3113A0, 0x1B2DF0,
             0x437E40, 0x42A200, 0x42F440, 0x55AFE0, 0x553EB0, 0x155460, 0x155CC0,
             0x2215E0, 0x22ADE0, 0x2BC590, 0x2BCA60, 0x309C90, 0x2B3890, 0x18FE90,
             0x6DA960, 0x22B6A0, 0xA6E00, 0x8FBC0]
_STEAM_RVAS = [0x326280, 0x328360, 0x3C7420, 0x39C790, 0x39C860, 0x31F090, 0x1BCAD0,
               0x446CA0, 0x439030, 0x43E270, 0x569160, 0x562080, 0x15F470, 0x15FCF0,
               0x22C4E0, 0x2371A0, 0x2CA2E0, 0x2CA7B0, 0x317680, 0x2C15E0, 0x19AD10,
               0x6E89C0, 0x237A60, 0x9EC30, 0x95480]


def _bytes(text):
    return bytes(int(b, 16) for b in text.split())


def _build(label, timestamp, image_size, rvas, only, input_global_rva):
    sites = []
    for i, rva in enumerate(rvas):
        sites.append({"id": i, "name": SITE_NAMES[i], "rva": rva,
                      "bytes": _bytes(only.get(i) or _COMMON[i])})
    return {"label": label, "timestamp": timestamp, "image_size": image_size, "sites": sites,
            "input_global_rva": input_global_rva}


BUILDS = {
    "GOG": _build("GOG", 0x614063E2, 0x9FD000, _GOG_RVAS, _GOG_ONLY, 0x956938),
    "Steam": _build("Steam", 0x61406F43, 0xA88000, _STEAM_RVAS, _STEAM_ONLY, 0x9E4D08),
}
