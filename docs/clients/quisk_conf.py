# Quisk configuration for the simulated board (or the board): the Hermes
# (Protocol 1) hardware files, the radio's address and port, no sound card.
from hermes import quisk_hardware, quisk_widgets
use_rx_udp = 10                 # Hermes protocol (Protocol 1)
udp_rx_ip = '127.0.0.1'         # the radio's address; '' discovers by broadcast
rx_udp_port = 1024
rx_udp_ip = ''                  # keep empty: otherwise Quisk asks the radio to change its IP
rx_udp_clock = 122880000
sample_rate = 48000
hermes_code_version = -1        # any firmware
hermes_board_id = -1            # any board id
name_of_sound_play = 'null'     # no sound card here: ALSA's null device
lin_name_of_sound_play = 'null'
name_of_sound_capt = ''
lin_name_of_sound_capt = ''
