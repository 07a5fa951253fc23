import os

from ament_index_python.packages import get_package_share_directory
from launch import LaunchDescription
from launch.actions import DeclareLaunchArgument
from launch.substitutions import LaunchConfiguration
from launch_ros.actions import Node


def generate_launch_description():
    share = get_package_share_directory('velmora_water_stain')
    params = os.path.join(share, 'params', 'water_stain_node.yaml')
    # Where tools/build_engine writes the engine by default.
    engine = os.path.join(share, 'models', 'mobilenet_50_1205_orin.engine')
    return LaunchDescription([
        DeclareLaunchArgument(
            'engine_path', default_value=engine, description='serialised TensorRT engine'),
        Node(
            package='velmora_water_stain',
            executable='water_stain_node',
            name='WaterStainNode',
            parameters=[params, {'engine_path': LaunchConfiguration('engine_path')}],
            output='screen',
            # The node exits after a CUDA device fault, which only a new process recovers from.
            respawn=True,
            respawn_delay=2.0,
        ),
    ])
