import os

from ament_index_python.packages import get_package_share_directory
from launch import LaunchDescription
from launch_ros.actions import Node


def generate_launch_description():
    params = os.path.join(
        get_package_share_directory('velmora_water_stain'), 'params', 'water_stain_node.yaml')
    return LaunchDescription([
        Node(
            package='velmora_water_stain',
            executable='water_stain_node',
            name='WaterStainNode',
            parameters=[params],
            output='screen',
        ),
    ])
